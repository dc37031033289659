#include "platform/posix/guard/extended_boot_records.h"

#include "platform/posix/guard/stored_bytes.h"

#include <algorithm>
#include <set>
#include <utility>

namespace {

// The types by which an entry names an extended partition (CHS, LBA, Linux).
const unsigned char EXTENDED_TYPES[] = {0x05, 0x0F, 0x85};

// Linux stops after 100 records in a row that place no partition, and once it has numbered
// 255 partitions: the four of the master boot record, then logical ones from 5.
const int MAX_RECORDS_WITHOUT_PARTITION = 100;
const int FIRST_LOGICAL_NUMBER = 5, MAX_PARTITION_NUMBER = 255;

// A record of the chain: where its entries lie, and the logical partitions they place.
struct Record {
    ByteRange entries;
    std::vector<ByteRange> placed;
};

// Whether Linux makes a partition of entry `index` of a record at byte `at` of the chain
// whose extended partition is `extended`, linked with `linked_size` bytes: the third and
// fourth entries, often left with stray bytes, only when they lie within both.
bool places_partition(const MbrEntry& entry, int index, std::uint64_t at,
                      std::uint64_t linked_size, const ByteRange& extended,
                      std::uint64_t block_size, ByteRange* bytes)
{
    if (entry.size == 0 || is_extended(entry) ||
        !blocks_to_bytes(at / block_size + entry.start, entry.size, block_size, bytes))
        return false;
    return index < 2 || (bytes->end - at <= linked_size && bytes->begin >= extended.begin &&
                         bytes->end <= extended.end);
}

// The records of the chain of the extended partition `extended` (bytes), from its first
// block to one that links nowhere, up to where the chain is damaged, or as far as Linux reads
// it. A record read again, linked alike, would only repeat what it placed before.
std::vector<Record> follow_chain(int descriptor, const ByteRange& extended,
                                 std::uint64_t block_size, std::uint64_t disk_size)
{
    std::vector<Record> chain;
    std::set<std::pair<std::uint64_t, std::uint64_t>> seen;
    std::uint64_t at = extended.begin, linked_size = extended.end - extended.begin;
    int without_partition = 0, number = FIRST_LOGICAL_NUMBER;
    unsigned char sector[512];
    while (++without_partition <= MAX_RECORDS_WITHOUT_PARTITION &&
           number <= MAX_PARTITION_NUMBER && seen.insert({at, linked_size}).second &&
           (disk_size == 0 || at < disk_size) &&
           read_stored(descriptor, at, sector, sizeof sector)) {
        chain.push_back({{at + MBR_TABLE.begin, at + MBR_TABLE.end}, {}});
        if (!has_boot_signature(sector))
            break;
        const MbrEntry* link = nullptr;
        MbrEntry entries[4];
        for (int index = 0; index < 4; ++index) {
            entries[index] = mbr_entry(sector, index);
            ByteRange bytes;
            if (places_partition(entries[index], index, at, linked_size, extended, block_size,
                                 &bytes) &&
                number <= MAX_PARTITION_NUMBER) {
                chain.back().placed.push_back(bytes);
                without_partition = 0;
                ++number;
            }
            if (link == nullptr && entries[index].size > 0 && is_extended(entries[index]))
                link = &entries[index];
        }
        // The next record: from the extended partition's start, not this record's.
        ByteRange next;
        if (link == nullptr ||
            !blocks_to_bytes(extended.begin / block_size + link->start, link->size, block_size,
                             &next))
            break;
        at = next.begin;
        linked_size = next.end - next.begin;
    }
    return chain;
}

// The end of the last of `ranges` that ends by `limit`, or `floor` when none ends later.
std::uint64_t last_end_before(const std::vector<ByteRange>& ranges, std::uint64_t limit,
                              std::uint64_t floor)
{
    for (const ByteRange& range : ranges) {
        if (range.end <= limit)
            floor = std::max(floor, range.end);
    }
    return floor;
}

// The records that place parts of `in_use`, wherever they lie, and a sound chain's places
// for those inside `extended` that the chain does not reach.
void add_chain_bytes(int descriptor, const ByteRange& extended, std::uint64_t block_size,
                     std::uint64_t disk_size, const std::vector<ByteRange>& in_use,
                     std::vector<ByteRange>* bytes, std::vector<ByteRange>* placed_in_use)
{
    if (in_use.empty())
        return;
    std::vector<Record> chain = follow_chain(descriptor, extended, block_size, disk_size);
    std::vector<ByteRange> placed;
    std::size_t needed = 0;  // records up to the last that places a part in use
    for (std::size_t at = 0; at < chain.size(); ++at) {
        placed.insert(placed.end(), chain[at].placed.begin(), chain[at].placed.end());
        for (const ByteRange& partition : chain[at].placed) {
            if (overlaps_any(in_use, partition.begin, partition.end))
                needed = at + 1;
        }
    }
    // A part the chain does not reach lies past every record it has.
    std::vector<ByteRange> inside, gaps;
    for (const ByteRange& range : in_use) {
        if (range.begin < extended.end && extended.begin < range.end)
            inside.push_back(range);
    }
    for (const ByteRange& range : inside) {
        if (overlaps_any(placed, range.begin, range.end))
            continue;
        needed = chain.size();
        std::uint64_t from = last_end_before(placed, range.begin, extended.begin);
        from = last_end_before(inside, range.begin, from);
        if (from < range.begin)
            gaps.push_back({from, range.begin});
    }
    for (std::size_t at = 0; at < needed; ++at) {
        bytes->push_back(chain[at].entries);
        if (placed_in_use != nullptr)
            placed_in_use->insert(placed_in_use->end(), chain[at].placed.begin(),
                                  chain[at].placed.end());
    }
    bytes->insert(bytes->end(), gaps.begin(), gaps.end());
}

}  // namespace

bool is_extended(const MbrEntry& entry)
{
    return entry.size > 0 &&
           std::find(std::begin(EXTENDED_TYPES), std::end(EXTENDED_TYPES), entry.type) !=
               std::end(EXTENDED_TYPES);
}

std::vector<ByteRange> extended_partitions(const unsigned char* mbr, std::uint64_t block_size)
{
    std::vector<ByteRange> extended;
    for (int index = 0; index < 4; ++index) {
        MbrEntry entry = mbr_entry(mbr, index);
        ByteRange bytes;
        if (is_extended(entry) && blocks_to_bytes(entry.start, entry.size, block_size, &bytes))
            extended.push_back(bytes);
    }
    return extended;
}

std::vector<ByteRange> extended_boot_record_bytes(int descriptor, const unsigned char* mbr,
                                                  std::uint64_t block_size,
                                                  std::uint64_t disk_size,
                                                  const std::vector<ByteRange>& in_use,
                                                  std::vector<ByteRange>* placed)
{
    std::vector<ByteRange> bytes;
    if (descriptor < 0) {
        for (const ByteRange& range : in_use) {
            std::uint64_t from = last_end_before(in_use, range.begin, MBR_TABLE.end);
            if (from < range.begin)
                bytes.push_back({from, range.begin});
        }
        return bytes;
    }
    // Linux follows the chain of each extended partition the master boot record names.
    for (const ByteRange& extended : extended_partitions(mbr, block_size))
        add_chain_bytes(descriptor, extended, block_size, disk_size, in_use, &bytes, placed);
    return bytes;
}
