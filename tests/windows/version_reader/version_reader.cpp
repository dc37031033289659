// Prints what Windows reads from an executable's version record and manifest:
//   version_reader <executable>
// One "Name=value" line per field, then the manifest text. Exits nonzero when the
// executable has no version record or no manifest at all.
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>

namespace {

// The string fields a version record may hold, in the order they are printed.
const char* const STRING_FIELDS[] = {
    "CompanyName",  "FileDescription", "FileVersion", "InternalName",
    "LegalCopyright", "OriginalFilename", "ProductName", "ProductVersion",
};

void print_version(const char* name, DWORD most, DWORD least)
{
    printf("%s=%lu.%lu.%lu.%lu\n", name, static_cast<unsigned long>(HIWORD(most)),
           static_cast<unsigned long>(LOWORD(most)), static_cast<unsigned long>(HIWORD(least)),
           static_cast<unsigned long>(LOWORD(least)));
}

bool print_version_record(const char* path)
{
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeA(path, &ignored);
    if (size == 0)
        return false;
    void* record = malloc(size);
    if (record == NULL || !GetFileVersionInfoA(path, 0, size, record))
        return false;

    VS_FIXEDFILEINFO* fixed = NULL;
    UINT length = 0;
    if (!VerQueryValueA(record, "\\", reinterpret_cast<void**>(&fixed), &length) ||
        length < sizeof *fixed)
        return false;
    print_version("FixedFileVersion", fixed->dwFileVersionMS, fixed->dwFileVersionLS);
    print_version("FixedProductVersion", fixed->dwProductVersionMS, fixed->dwProductVersionLS);
    printf("FileType=%lu\n", static_cast<unsigned long>(fixed->dwFileType));

    // The string fields live under the first language and code page the record lists.
    WORD* translation = NULL;
    if (!VerQueryValueA(record, "\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translation),
                        &length) ||
        length < 2 * sizeof(WORD))
        return false;
    printf("Translation=%04x%04x\n", translation[0], translation[1]);
    for (const char* field : STRING_FIELDS) {
        char query[128];
        snprintf(query, sizeof query, "\\StringFileInfo\\%04x%04x\\%s", translation[0],
                 translation[1], field);
        char* value = NULL;
        if (VerQueryValueA(record, query, reinterpret_cast<void**>(&value), &length) && length > 0)
            printf("%s=%s\n", field, value);
        else
            printf("%s is missing\n", field);
    }
    return true;
}

BOOL CALLBACK count_resource(HMODULE, LPCSTR, LPSTR, LONG_PTR count)
{
    ++*reinterpret_cast<int*>(count);
    return TRUE;
}

bool print_manifest(const char* path)
{
    HMODULE module = LoadLibraryExA(path, NULL, LOAD_LIBRARY_AS_DATAFILE);
    if (module == NULL)
        return false;
    int manifests = 0;
    EnumResourceNamesA(module, RT_MANIFEST, count_resource, reinterpret_cast<LONG_PTR>(&manifests));
    printf("Manifests=%d\n", manifests);
    HRSRC found = FindResourceA(module, CREATEPROCESS_MANIFEST_RESOURCE_ID, RT_MANIFEST);
    if (found == NULL)
        return false;
    HGLOBAL loaded = LoadResource(module, found);
    const char* text = static_cast<const char*>(LockResource(loaded));
    if (text == NULL)
        return false;
    printf("Manifest:\n");
    fwrite(text, 1, SizeofResource(module, found), stdout);
    printf("\n");
    return true;
}

}  // namespace

int main(int argc, char* argv[])
{
    if (argc != 2) {
        fprintf(stderr, "usage: version_reader <executable>\n");
        return 2;
    }
    bool record = print_version_record(argv[1]);
    if (!record)
        printf("No version record: error %lu\n", static_cast<unsigned long>(GetLastError()));
    bool manifest = print_manifest(argv[1]);
    if (!manifest)
        printf("No manifest: error %lu\n", static_cast<unsigned long>(GetLastError()));
    return record && manifest ? 0 : 1;
}
