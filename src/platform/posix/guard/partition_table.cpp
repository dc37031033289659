#include "platform/posix/guard/partition_table.h"

#include "platform/posix/guard/extended_boot_records.h"
#include "platform/posix/guard/guid_partition_table.h"
#include "platform/posix/guard/held_partitions.h"
#include "platform/posix/guard/stored_bytes.h"

#include <algorithm>

namespace {

// The type of the entry by which a master boot record says "this is a GPT disk"; Linux reads
// the GPT only where one is there, and then no extended partition.
const unsigned char GPT_PROTECTIVE_TYPE = 0xEE;

bool marks_gpt_disk(const unsigned char* sector)
{
    if (!has_boot_signature(sector))
        return false;
    for (int index = 0; index < 4; ++index) {
        if (mbr_entry(sector, index).type == GPT_PROTECTIVE_TYPE)
            return true;
    }
    return false;
}

// Linux shows an extended partition as its first two sectors, or its first block where a
// block is larger, so that nothing is made on its records.
const std::uint64_t EXTENDED_SHOWN = 1024;

// The partitions the master boot record's entries place.
std::vector<ByteRange> primary_partitions(const unsigned char* mbr, std::uint64_t block_size)
{
    std::vector<ByteRange> placed;
    for (int index = 0; has_boot_signature(mbr) && index < 4; ++index) {
        MbrEntry entry = mbr_entry(mbr, index);
        ByteRange bytes;
        if (entry.size == 0 || !blocks_to_bytes(entry.start, entry.size, block_size, &bytes))
            continue;
        if (is_extended(entry))
            bytes.end = bytes.begin + std::min(bytes.end - bytes.begin,
                                               std::max(block_size, EXTENDED_SHOWN));
        placed.push_back(bytes);
    }
    return placed;
}

}  // namespace

MbrEntry mbr_entry(const unsigned char* sector, int index)
{
    const unsigned char* entry = sector + MBR_TABLE.begin + 16 * index;
    auto field = [entry](int at) {
        return static_cast<std::uint64_t>(entry[at]) | entry[at + 1] << 8 | entry[at + 2] << 16 |
               static_cast<std::uint64_t>(entry[at + 3]) << 24;
    };
    return {entry[4], field(8), field(12)};
}

bool has_boot_signature(const unsigned char* sector)
{
    return sector[510] == 0x55 && sector[511] == 0xAA;
}

bool blocks_to_bytes(std::uint64_t first, std::uint64_t count, std::uint64_t block_size,
                     ByteRange* bytes)
{
    if (first > UINT64_MAX / block_size || count > UINT64_MAX / block_size - first)
        return false;
    *bytes = {first * block_size, (first + count) * block_size};
    return true;
}

bool overlaps_any(const std::vector<ByteRange>& ranges, std::uint64_t begin, std::uint64_t end)
{
    for (const ByteRange& range : ranges) {
        if (begin < range.end && range.begin < end)
            return true;
    }
    return false;
}

KeptTable read_partition_table(int descriptor, std::uint64_t disk_size, std::uint64_t block_size,
                               const std::vector<ByteRange>& in_use,
                               const std::vector<Partition>& partitions)
{
    KeptTable table;
    table.bytes = {MBR_TABLE};
    unsigned char sector[512];
    bool readable = descriptor >= 0 && read_stored(descriptor, 0, sector, sizeof sector);
    std::vector<ByteRange> gpt;
    if (!readable) {
        // Nothing to compare with: every place a table of either kind may hold.
        gpt = gpt_bytes(-1, disk_size, block_size, nullptr);
        table.records = extended_boot_record_bytes(-1, nullptr, block_size, disk_size, in_use,
                                                   nullptr);
    } else {
        table.placed = primary_partitions(sector, block_size);
        if (marks_gpt_disk(sector)) {
            gpt = gpt_bytes(descriptor, disk_size, block_size, &table.placed);
        } else if (has_boot_signature(sector)) {
            table.records = extended_boot_record_bytes(descriptor, sector, block_size, disk_size,
                                                       in_use, &table.placed);
            table.extended = extended_partitions(sector, block_size);
        }
    }
    table.bytes.insert(table.bytes.end(), gpt.begin(), gpt.end());
    table.bytes.insert(table.bytes.end(), table.records.begin(), table.records.end());
    table.held = held_partitions(table, partitions, disk_size);
    return table;
}
