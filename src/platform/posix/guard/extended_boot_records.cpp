#include "platform/posix/guard/extended_boot_records.h"

#include "platform/posix/guard/stored_bytes.h"

#include <algorithm>

namespace {

// The types by which an entry names an extended partition (CHS, LBA, Linux).
const unsigned char EXTENDED_TYPES[] = {0x05, 0x0F, 0x85};

// A disk has at most 256 partitions; a chain longer than that, or one that comes back to a
// record, is damaged.
const int MAX_RECORDS = 256;

bool is_extended(const MbrEntry& entry)
{
    return entry.size > 0 &&
           std::find(std::begin(EXTENDED_TYPES), std::end(EXTENDED_TYPES), entry.type) !=
               std::end(EXTENDED_TYPES);
}

// A record of the chain: where its entries lie, and the logical partitions they place.
struct Record {
    ByteRange entries;
    std::vector<ByteRange> placed;
};

// [first, first + count) blocks as bytes; false when they do not fit.
bool blocks_to_bytes(std::uint64_t first, std::uint64_t count, std::uint64_t block_size,
                     ByteRange* bytes)
{
    if (first > UINT64_MAX / block_size || count > UINT64_MAX / block_size - first)
        return false;
    *bytes = {first * block_size, (first + count) * block_size};
    return true;
}

// The records of the chain of the extended partition `extended` (bytes), from its first
// block to one that links nowhere, or up to where the chain is damaged.
std::vector<Record> follow_chain(int descriptor, const ByteRange& extended,
                                 std::uint64_t block_size)
{
    std::vector<Record> chain;
    std::uint64_t at = extended.begin;
    while (chain.size() < MAX_RECORDS) {
        bool seen = std::any_of(chain.begin(), chain.end(), [at](const Record& record) {
            return record.entries.begin == at + MBR_TABLE.begin;
        });
        unsigned char sector[512];
        if (seen || at < extended.begin || at >= extended.end ||
            !read_stored(descriptor, at, sector, sizeof sector))
            return chain;
        chain.push_back({{at + MBR_TABLE.begin, at + MBR_TABLE.end}, {}});
        if (!has_boot_signature(sector))
            return chain;
        bool linked = false;
        for (int index = 0; index < 4; ++index) {
            MbrEntry entry = mbr_entry(sector, index);
            ByteRange bytes;
            if (entry.size == 0)
                continue;
            if (is_extended(entry) && !linked) {
                // The next record: from the extended partition's start, not this record's.
                linked = true;
                if (!blocks_to_bytes(extended.begin / block_size + entry.start, 0, block_size,
                                     &bytes))
                    return chain;
                at = bytes.begin;
            } else if (!is_extended(entry) &&
                       blocks_to_bytes(at / block_size + entry.start, entry.size, block_size,
                                       &bytes)) {
                chain.back().placed.push_back(bytes);
            }
        }
        if (!linked)
            return chain;
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

// The records that place parts of `in_use` inside `extended`, and a sound chain's places
// for those the chain does not reach.
void add_chain_bytes(int descriptor, const ByteRange& extended, std::uint64_t block_size,
                     const std::vector<ByteRange>& in_use, std::vector<ByteRange>* bytes)
{
    std::vector<ByteRange> inside;
    for (const ByteRange& range : in_use) {
        if (range.begin < extended.end && extended.begin < range.end)
            inside.push_back(range);
    }
    if (inside.empty())
        return;
    std::vector<Record> chain = follow_chain(descriptor, extended, block_size);
    std::vector<ByteRange> placed;
    std::size_t needed = 0;  // records up to the last that places a part in use
    for (std::size_t at = 0; at < chain.size(); ++at) {
        placed.insert(placed.end(), chain[at].placed.begin(), chain[at].placed.end());
        for (const ByteRange& partition : chain[at].placed) {
            if (overlaps_any(inside, partition.begin, partition.end))
                needed = at + 1;
        }
    }
    // A part the chain does not reach lies past every record it has.
    std::vector<ByteRange> gaps;
    for (const ByteRange& range : inside) {
        if (overlaps_any(placed, range.begin, range.end))
            continue;
        needed = chain.size();
        std::uint64_t from = last_end_before(placed, range.begin, extended.begin);
        from = last_end_before(inside, range.begin, from);
        if (from < range.begin)
            gaps.push_back({from, range.begin});
    }
    for (std::size_t at = 0; at < needed; ++at)
        bytes->push_back(chain[at].entries);
    bytes->insert(bytes->end(), gaps.begin(), gaps.end());
}

}  // namespace

std::vector<ByteRange> extended_boot_record_bytes(int descriptor, const unsigned char* mbr,
                                                  std::uint64_t block_size,
                                                  const std::vector<ByteRange>& in_use)
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
    for (int index = 0; index < 4; ++index) {
        MbrEntry entry = mbr_entry(mbr, index);
        ByteRange extended;
        if (is_extended(entry) && blocks_to_bytes(entry.start, entry.size, block_size, &extended))
            add_chain_bytes(descriptor, extended, block_size, in_use, &bytes);
    }
    return bytes;
}
