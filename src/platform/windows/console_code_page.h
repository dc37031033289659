// Which code page the console shows while Vorlent runs (console_code_page.cpp says why),
// kept apart from the calls that read and set the code pages so that the choice can be
// checked on any system.
#pragma once

// The code page the console is to show for the length of the run: the process's own,
// wherever it differs from the console's output code page. 0 to leave the console as it
// is: the two agree, or there is no console (its code page is then 0).
inline unsigned console_code_page_to_show(unsigned process_code_page, unsigned console_code_page)
{
    if (console_code_page == 0 || process_code_page == 0 ||
        process_code_page == console_code_page)
        return 0;
    return process_code_page;
}
