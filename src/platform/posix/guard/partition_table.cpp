#include "platform/posix/guard/partition_table.h"

#include "platform/posix/guard/extended_boot_records.h"
#include "platform/posix/guard/guid_partition_table.h"
#include "platform/posix/guard/stored_bytes.h"

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

bool overlaps_any(const std::vector<ByteRange>& ranges, std::uint64_t begin, std::uint64_t end)
{
    for (const ByteRange& range : ranges) {
        if (begin < range.end && range.begin < end)
            return true;
    }
    return false;
}

std::vector<ByteRange> partition_table_bytes(int descriptor, std::uint64_t disk_size,
                                             std::uint64_t block_size,
                                             const std::vector<ByteRange>& in_use,
                                             std::vector<ByteRange>* chain)
{
    std::vector<ByteRange> table = {MBR_TABLE};
    unsigned char sector[512];
    bool readable = descriptor >= 0 && read_stored(descriptor, 0, sector, sizeof sector);
    std::vector<ByteRange> gpt, records;
    if (!readable) {
        // Nothing to compare with: every place a table of either kind may hold.
        gpt = gpt_bytes(-1, disk_size, block_size);
        records = extended_boot_record_bytes(-1, nullptr, block_size, in_use);
    } else if (marks_gpt_disk(sector)) {
        gpt = gpt_bytes(descriptor, disk_size, block_size);
    } else if (has_boot_signature(sector)) {
        records = extended_boot_record_bytes(descriptor, sector, block_size, in_use);
    }
    table.insert(table.end(), gpt.begin(), gpt.end());
    table.insert(table.end(), records.begin(), records.end());
    if (chain != nullptr)
        *chain = records;
    return table;
}
