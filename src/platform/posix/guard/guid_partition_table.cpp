#include "platform/posix/guard/guid_partition_table.h"

#include "platform/posix/guard/stored_bytes.h"

#include <cstring>

namespace {

// A GPT header starts with this signature; its size, the array's place, length and entry
// size stand at these offsets (little-endian).
const char GPT_SIGNATURE[] = "EFI PART";
const std::size_t HEADER_SIZE_AT = 12, ALTERNATE_LBA_AT = 32, ENTRIES_LBA_AT = 72,
                  ENTRY_COUNT_AT = 80, ENTRY_SIZE_AT = 84;
// The smallest header there is, up to the entry size.
const std::uint64_t MIN_HEADER_SIZE = 92;

// The usual entry array: 128 entries of 128 bytes, the least a GPT reserves.
const std::uint64_t USUAL_ARRAY_SIZE = 16384;
// Entries are 128 bytes times a power of two; arrays of real tables stay far below a
// megabyte. Beyond these a header is taken for damaged.
const std::uint64_t MIN_ENTRY_SIZE = 128, MAX_ENTRY_SIZE = 4096, MAX_ARRAY_SIZE = 1 << 20;

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

// The entry array a header names, when it lies on the disk within [low, high) and its
// entries are of a size a GPT has.
bool stated_array(const std::vector<unsigned char>& header, std::uint64_t block_size,
                  std::uint64_t low, std::uint64_t high, ByteRange* array)
{
    std::uint64_t lba = little_endian(header.data() + ENTRIES_LBA_AT, 8);
    std::uint64_t count = little_endian(header.data() + ENTRY_COUNT_AT, 4);
    std::uint64_t entry_size = little_endian(header.data() + ENTRY_SIZE_AT, 4);
    if (entry_size < MIN_ENTRY_SIZE || entry_size > MAX_ENTRY_SIZE ||
        (entry_size & (entry_size - 1)) != 0 || count == 0 ||
        count > MAX_ARRAY_SIZE / entry_size || lba > high / block_size)
        return false;
    array->begin = lba * block_size;
    array->end = array->begin + count * entry_size;
    return array->begin >= low && array->end <= high;
}

}  // namespace

std::vector<ByteRange> gpt_bytes(int descriptor, std::uint64_t disk_size,
                                 std::uint64_t block_size)
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
    std::uint64_t end_of_data = last * block_size;
    std::vector<unsigned char> header;
    ByteRange array;
    table.push_back({block_size, 2 * block_size});
    std::vector<std::uint64_t> backups = {last};
    if (read_header(descriptor, 1, block_size, &header)) {
        bool stated = stated_array(header, block_size, 2 * block_size, end_of_data, &array);
        table.push_back(stated ? array
                               : ByteRange{2 * block_size, 2 * block_size + USUAL_ARRAY_SIZE});
        // Linux seeks the backup where the primary says; other tools at the disk's end.
        std::uint64_t alternate = little_endian(header.data() + ALTERNATE_LBA_AT, 8);
        if (alternate > 1 && alternate < last)
            backups.push_back(alternate);
    } else {
        table.push_back({2 * block_size, 2 * block_size + USUAL_ARRAY_SIZE});
    }
    for (std::uint64_t backup : backups) {
        std::uint64_t at = backup * block_size;
        table.push_back({at, at + block_size});
        bool stated = read_header(descriptor, backup, block_size, &header) &&
                      stated_array(header, block_size, 2 * block_size, at, &array);
        if (stated)
            table.push_back(array);
        else if (at >= 2 * block_size + USUAL_ARRAY_SIZE)
            table.push_back({at - USUAL_ARRAY_SIZE, at});
    }
    return table;
}
