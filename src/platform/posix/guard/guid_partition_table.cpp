#include "platform/posix/guard/guid_partition_table.h"

#include "platform/posix/guard/stored_bytes.h"

#include <algorithm>
#include <cstring>

namespace {

// A GPT header starts with this signature; its size, the backup's place, the usable blocks,
// the array's place, length and entry size stand at these offsets (little-endian).
const char GPT_SIGNATURE[] = "EFI PART";
const std::size_t HEADER_SIZE_AT = 12, ALTERNATE_LBA_AT = 32, FIRST_USABLE_AT = 40,
                  LAST_USABLE_AT = 48, ENTRIES_LBA_AT = 72, ENTRY_COUNT_AT = 80,
                  ENTRY_SIZE_AT = 84;
// The smallest header there is, up to the entry size.
const std::uint64_t MIN_HEADER_SIZE = 92;
// An entry's type (all zero: unused) and its first and last blocks.
const std::size_t TYPE_AT = 0, TYPE_SIZE = 16, FIRST_LBA_AT = 32, LAST_LBA_AT = 40;

// The usual entry array: 128 entries of 128 bytes, the least a GPT reserves.
const std::uint64_t USUAL_ARRAY_SIZE = 16384;
// Entries are 128 bytes times a power of two. Linux (block/partitions/efi.c) reads an array
// up to the largest block the kernel allocates, KMALLOC_MAX_SIZE: 4 MiB with 4 KiB pages,
// 512 MiB on arm64 with 64 KiB pages, the largest of any build.
const std::uint64_t MIN_ENTRY_SIZE = 128, MAX_ENTRY_SIZE = 4096,
                    MAX_ARRAY_SIZE = std::uint64_t(512) << 20;
// Linux makes partitions of the first 255 entries alone: a disk has 256 numbers, its own
// among them.
const std::uint64_t MAX_PLACING_ENTRIES = 255;

// The largest logical block there is, for a disk whose tables cannot be read.
const std::uint64_t LARGEST_BLOCK = 4096;

std::uint64_t little_endian(const unsigned char* bytes, int size)
{
    std::uint64_t value = 0;
    for (int at = size - 1; at >= 0; --at)
        value = value << 8 | bytes[at];
    return value;
}

// The header in block `lba`, when it bears the signature and a size its block holds.
bool read_header(int descriptor, std::uint64_t lba, std::uint64_t block_size,
                 std::vector<unsigned char>* header)
{
    header->assign(block_size, 0);
    if (!read_stored(descriptor, lba * block_size, header->data(), header->size()) ||
        std::memcmp(header->data(), GPT_SIGNATURE, sizeof GPT_SIGNATURE - 1) != 0)
        return false;
    std::uint64_t size = little_endian(header->data() + HEADER_SIZE_AT, 4);
    return size >= MIN_HEADER_SIZE && size <= block_size;
}

std::uint64_t field(const std::vector<unsigned char>& header, std::size_t at)
{
    return little_endian(header.data() + at, at == ENTRY_COUNT_AT || at == ENTRY_SIZE_AT ? 4 : 8);
}

// The entry array a header names, when it lies on the disk's `end` bytes and its entries are
// of a size a GPT has.
bool stated_array(const std::vector<unsigned char>& header, std::uint64_t block_size,
                  std::uint64_t end, ByteRange* array)
{
    std::uint64_t lba = field(header, ENTRIES_LBA_AT), count = field(header, ENTRY_COUNT_AT);
    std::uint64_t entry_size = field(header, ENTRY_SIZE_AT);
    if (entry_size < MIN_ENTRY_SIZE || entry_size > MAX_ENTRY_SIZE ||
        (entry_size & (entry_size - 1)) != 0 || count == 0 ||
        count > MAX_ARRAY_SIZE / entry_size || lba > end / block_size)
        return false;
    array->begin = lba * block_size;
    array->end = array->begin + count * entry_size;
    return array->end <= end;
}

// Adds the partitions the first entries of `array`, named by `header`, place.
void add_placed(int descriptor, const std::vector<unsigned char>& header, const ByteRange& array,
                std::uint64_t block_size, std::vector<ByteRange>* placed)
{
    std::uint64_t entry_size = field(header, ENTRY_SIZE_AT);
    std::uint64_t count = std::min(field(header, ENTRY_COUNT_AT), MAX_PLACING_ENTRIES);
    std::vector<unsigned char> entries(count * entry_size);
    if (placed == nullptr || !read_stored(descriptor, array.begin, entries.data(), entries.size()))
        return;
    static const unsigned char UNUSED[TYPE_SIZE] = {};
    for (std::uint64_t at = 0; at < entries.size(); at += entry_size) {
        const unsigned char* entry = entries.data() + at;
        std::uint64_t first = little_endian(entry + FIRST_LBA_AT, 8);
        std::uint64_t last = little_endian(entry + LAST_LBA_AT, 8);
        ByteRange bytes;
        if (std::memcmp(entry + TYPE_AT, UNUSED, TYPE_SIZE) != 0 && first <= last &&
            blocks_to_bytes(first, last - first + 1, block_size, &bytes))
            placed->push_back(bytes);
    }
}

}  // namespace

std::vector<ByteRange> gpt_bytes(int descriptor, std::uint64_t disk_size,
                                 std::uint64_t block_size, std::vector<ByteRange>* placed)
{
    std::vector<ByteRange> table;
    if (descriptor < 0) {
        table.push_back({512, 2 * LARGEST_BLOCK + USUAL_ARRAY_SIZE});
        std::uint64_t tail = LARGEST_BLOCK + USUAL_ARRAY_SIZE;
        table.push_back({disk_size > tail ? disk_size - tail : 0, disk_size});
        return table;
    }
    std::uint64_t blocks = disk_size / block_size;
    if (blocks < 3)
        return table;
    std::uint64_t last = blocks - 1;
    std::uint64_t end = blocks * block_size;
    // Where the usual arrays end and begin, before the primary header's first usable block
    // and after the backup's last.
    std::uint64_t usual_end = 2 * block_size + USUAL_ARRAY_SIZE;
    std::vector<unsigned char> header;
    ByteRange array;
    table.push_back({block_size, 2 * block_size});
    std::vector<std::uint64_t> backups = {last};
    if (read_header(descriptor, 1, block_size, &header)) {
        if (stated_array(header, block_size, end, &array)) {
            add_placed(descriptor, header, array, block_size, placed);
        } else {
            std::uint64_t first_usable = field(header, FIRST_USABLE_AT);
            array = {2 * block_size, usual_end};
            if (first_usable <= blocks && first_usable * block_size > usual_end)
                array.end = first_usable * block_size;
        }
        table.push_back(array);
        // Linux seeks the backup where the primary says; other tools at the disk's end.
        std::uint64_t alternate = field(header, ALTERNATE_LBA_AT);
        if (alternate > 1 && alternate < last)
            backups.push_back(alternate);
    } else {
        table.push_back({2 * block_size, usual_end});
    }
    for (std::uint64_t backup : backups) {
        std::uint64_t at = backup * block_size;
        table.push_back({at, at + block_size});
        bool readable = read_header(descriptor, backup, block_size, &header);
        if (readable && stated_array(header, block_size, end, &array)) {
            add_placed(descriptor, header, array, block_size, placed);
            table.push_back(array);
        } else if (at >= usual_end) {
            std::uint64_t after_usable = readable ? field(header, LAST_USABLE_AT) + 1 : 0;
            std::uint64_t from = at - USUAL_ARRAY_SIZE;
            if (after_usable > usual_end / block_size && after_usable < from / block_size)
                from = after_usable * block_size;
            table.push_back({from, at});
        }
    }
    return table;
}
