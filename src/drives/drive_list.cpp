#include "drives/drive_list.h"

#include "platform/posix/drives.h"
#include "platform/posix/guard/sys_entries.h"
#include "platform/posix/guard/write_guard.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <iterator>
#include <unistd.h>
#include <vector>

namespace {

// The units of the readable size, each 1024 times the one before.
const char* const SIZE_UNITS[] = {"B", "KiB", "MiB", "GiB", "TiB"};

std::string trimmed(const std::string& text)
{
    std::size_t begin = text.find_first_not_of(" \t");
    if (begin == std::string::npos)
        return "";
    return text.substr(begin, text.find_last_not_of(" \t") - begin + 1);
}

// Control characters shown as octal escapes, the way the mount table shows them, so that
// no name can break a line of the listing.
std::string printable(const std::string& text)
{
    std::string shown;
    for (unsigned char c : text) {
        if (c < 0x20 || c == 0x7F) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\%03o", c);
            shown += escape;
        } else {
            shown += static_cast<char>(c);
        }
    }
    return shown;
}

std::string joined(const std::vector<std::string>& items, const char* separator)
{
    std::string text;
    for (const std::string& item : items)
        text += (text.empty() ? "" : separator) + item;
    return text;
}

// "268435456000 bytes (250.0 GiB)". A figure that would round to 1024.0 moves up a unit.
std::string readable_size(std::uint64_t bytes)
{
    double figure = static_cast<double>(bytes);
    std::size_t unit = 0;
    while (unit + 1 < std::size(SIZE_UNITS) && figure >= 1023.95) {
        figure /= 1024;
        ++unit;
    }
    char text[80];
    std::snprintf(text, sizeof text, "%llu bytes (%.1f %s)", static_cast<unsigned long long>(bytes),
                  figure, SIZE_UNITS[unit]);
    return text;
}

// "bytes 446-511 and 1024-1535", the last byte of each included.
std::string bytes_text(const std::vector<ByteRange>& ranges)
{
    std::vector<std::string> shown;
    for (const ByteRange& range : ranges)
        shown.push_back(std::to_string(range.begin) + "-" +
                        std::to_string(range.end - (range.end > range.begin ? 1 : 0)));
    return "bytes " + joined(shown, " and ");
}

// What keeps writes from bytes of `disk` beyond its parts in use: the extended boot records
// that place its logical partitions in use, the tables of loop devices over its ranges that
// place theirs, and the partitions kept for what they hold or for what places them, where
// the guard finds them. A loop device's table this program cannot read lies at unknown
// bytes; a disk's own that it cannot read shows nothing it knows of.
std::vector<std::string> tables_of(const std::string& disk, const std::vector<TableWindow>& tables,
                                   const SystemRoots& roots)
{
    std::vector<std::string> uses;
    for (const TableWindow& table : tables) {
        bool own = table.disk == disk && !table.of_loop_over;
        int descriptor = own || table.of_loop_over ? open_disk_node(table.disk, roots) : -1;
        std::string name = printable(table.disk);
        if (descriptor < 0) {
            if (table.of_loop_over)
                uses.push_back(name + " table over unknown bytes");
            continue;
        }
        close(descriptor);
        KeptTable kept = kept_table(table, roots);
        if (own && !kept.records.empty())
            uses.push_back(name + " extended boot records at " + bytes_text(kept.records));
        else if (!own && !kept.bytes.empty())
            uses.push_back(name + " table over " + bytes_text(kept.bytes));
        for (const HeldPartition& held : kept.held)
            uses.push_back(printable(held.name) +
                           (held.unplaced ? " not placed by the tables read, so the whole disk, "
                                          : " holding a partition in use at ") +
                           bytes_text(held.bytes));
    }
    return uses;
}

std::string uses_of(const std::vector<PartUse>& parts, const std::vector<std::string>& tables)
{
    std::vector<std::string> uses;
    for (const PartUse& part : parts) {
        std::string name = printable(part.name);
        // What a loop device over the disk builds keeps the bytes under it from writes; so
        // does what is in use where a loop device's own bytes land.
        std::string bytes = bytes_text({{part.begin, part.end}});
        std::string over;
        if (part.through_loop)
            over = part.placed ? " over " + bytes : " over the whole disk";
        else if (part.beneath)
            over = part.placed ? " at " + bytes : " at unknown bytes";
        std::vector<std::string> mount_points;
        for (const std::string& mount_point : part.mount_points)
            mount_points.push_back(printable(mount_point));
        if (!mount_points.empty())
            uses.push_back(name + over + " mounted on " + joined(mount_points, " and "));
        if (part.swap)
            uses.push_back(name + over + " swap");
        if (!part.holders.empty())
            uses.push_back(name + over + " held by " + printable(joined(part.holders, " and ")));
        if (part.busy)
            uses.push_back(name + over + " busy");
    }
    uses.insert(uses.end(), tables.begin(), tables.end());
    return uses.empty() ? "nothing" : joined(uses, "; ");
}

// Where the disk's last partition ends, which a Save needs as its Length to hold every
// partition and none of the empty rest; 0 when the disk has no partition, or one that /sys
// does not place.
std::uint64_t partitions_end(const std::vector<PartUse>& parts)
{
    std::uint64_t end = 0;
    for (std::size_t at = 1; at < parts.size(); ++at) {
        if (parts[at].through_loop || parts[at].beneath)
            continue;
        if (!parts[at].placed)
            return 0;
        end = std::max(end, parts[at].end);
    }
    return end;
}

std::string describe_drive(std::size_t number, const std::string& disk, const SystemRoots& roots)
{
    std::string folder = std::string(roots.sys_block) + "/" + disk;
    // Partitions are not opened here: while one is held open exclusively, a mount of it
    // would fail.
    std::vector<TableWindow> tables;
    std::vector<PartUse> parts = read_disk_usage(disk, roots, false, &tables);
    std::string block = "Drive " + std::to_string(number) + ": " +
                        printable(node_path(roots.dev, disk)) + "\n";
    if (!parts.empty() && parts[0].placed)
        block += "  Size:      " + readable_size(parts[0].end) + "\n";
    if (std::uint64_t end = partitions_end(parts))
        block += "  Parts end: " + readable_size(end) + "\n";
    std::vector<std::string> maker_and_model;
    for (const char* field : {"vendor", "model"}) {
        std::string text = trimmed(read_first_line(folder + "/device/" + field));
        // Some buses give the maker as a bare number ("0x1af4"), which tells a user nothing.
        if (!text.empty() && text.rfind("0x", 0) != 0)
            maker_and_model.push_back(text);
    }
    if (!maker_and_model.empty())
        block += "  Model:     " + printable(joined(maker_and_model, " ")) + "\n";
    std::string backing = read_first_line(folder + "/loop/backing_file");
    if (!backing.empty())
        block += "  Backing:   " + printable(backing) + "\n";
    std::string removable = read_first_line(folder + "/removable");
    if (removable == "0" || removable == "1")
        block += std::string("  Removable: ") + (removable == "1" ? "yes" : "no") + "\n";
    if (!parts.empty())
        block += "  In use:    " + uses_of(parts, tables_of(disk, tables, roots)) + "\n";
    return block;
}

}  // namespace

std::string describe_drives(const SystemRoots& roots)
{
    std::vector<std::string> disks = list_disks(roots.sys_block);
    if (disks.empty())
        return "No drives found.\n";
    std::string text;
    for (std::size_t number = 0; number < disks.size(); ++number)
        text += (number == 0 ? "" : "\n") + describe_drive(number, disks[number], roots);
    return text;
}
