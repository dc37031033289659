#include "platform/posix/guard/held_partitions.h"

#include <algorithm>

namespace {

// Linux and libblkid read the labels inside a partition from its first 30 sectors: Minix's
// from sector 0, BSD's and Solaris' from 1, UnixWare's from 29. A free partition over them
// (Solaris' boot slice over its VTOC) is kept there all the same.
const std::uint64_t LABEL_AREA = 16384;

bool holds(const ByteRange& outer, const ByteRange& inner)
{
    return outer.begin <= inner.begin && inner.end <= outer.end;
}

bool same(const ByteRange& a, const ByteRange& b)
{
    return a.begin == b.begin && a.end == b.end;
}

// `from` without the bytes of each of `cuts`.
std::vector<ByteRange> without(const ByteRange& from, std::vector<ByteRange> cuts)
{
    std::sort(cuts.begin(), cuts.end(),
              [](const ByteRange& a, const ByteRange& b) { return a.begin < b.begin; });
    std::vector<ByteRange> left;
    std::uint64_t at = from.begin;
    for (const ByteRange& cut : cuts) {
        if (cut.begin >= cut.end)
            continue;
        if (cut.begin > at && at < from.end)
            left.push_back({at, std::min(cut.begin, from.end)});
        at = std::max(at, cut.end);
    }
    if (at < from.end)
        left.push_back({at, from.end});
    return left;
}

// Whether an entry the table keeps gives the partition's start and size. Linux cuts a
// partition that runs past the disk's end there.
bool placed_by_table(const KeptTable& table, const ByteRange& partition, std::uint64_t disk_size)
{
    for (ByteRange entry : table.placed) {
        if (disk_size != 0 && entry.end > disk_size)
            entry.end = disk_size;
        if (same(entry, partition))
            return true;
    }
    return false;
}

}  // namespace

std::vector<HeldPartition> held_partitions(const KeptTable& table,
                                           const std::vector<Partition>& partitions,
                                           std::uint64_t disk_size)
{
    // In use, or holding a partition in use (holding is transitive: one look is enough).
    std::vector<bool> used(partitions.size());
    for (std::size_t at = 0; at < partitions.size(); ++at) {
        for (const Partition& other : partitions)
            used[at] = used[at] || (other.in_use && holds(partitions[at].bytes, other.bytes));
    }
    std::vector<ByteRange> free;
    for (std::size_t at = 0; at < partitions.size(); ++at) {
        if (!used[at])
            free.push_back(partitions[at].bytes);
    }
    // Of a partition that holds one in use, all but the free partitions in it past where its
    // label may lie.
    auto label_kept = [&free](const ByteRange& label) {
        std::vector<ByteRange> cuts;
        for (const ByteRange& range : free)
            cuts.push_back({std::max(range.begin, label.end), range.end});
        return cuts;
    };
    std::vector<HeldPartition> held;
    for (std::size_t at = 0; at < partitions.size(); ++at) {
        const Partition& partition = partitions[at];
        if (!used[at])
            continue;
        bool held_by_another = false;
        for (const Partition& other : partitions)
            held_by_another = held_by_another || (holds(other.bytes, partition.bytes) &&
                                                  !same(other.bytes, partition.bytes));
        if (!held_by_another && !placed_by_table(table, partition.bytes, disk_size)) {
            held.push_back(
                {partition.name, true, {{0, disk_size != 0 ? disk_size : UINT64_MAX}}});
            return held;
        }
        const ByteRange& bytes = partition.bytes;
        if (!partition.in_use)
            held.push_back({partition.name, false,
                            without(bytes, label_kept({bytes.begin, bytes.begin + LABEL_AREA}))});
    }
    // The guard reads the chain of an extended partition and keeps its records: only what no
    // free partition holds is kept whole. (The records' entries are 66 bytes; what the chain
    // keeps where it breaks runs between partitions, whole blocks.)
    std::vector<ByteRange> cuts = free;
    for (const ByteRange& record : table.records) {
        if (record.end - record.begin == MBR_TABLE.end - MBR_TABLE.begin)
            cuts.push_back(
                {record.begin - MBR_TABLE.begin, record.begin - MBR_TABLE.begin + 512});
    }
    for (ByteRange extended : table.extended) {
        if (disk_size != 0)
            extended.end = std::min(extended.end, disk_size);
        bool holds_one_in_use = false;
        std::string name = "extended partition";
        for (std::size_t at = 0; at < partitions.size(); ++at) {
            holds_one_in_use =
                holds_one_in_use || (used[at] && holds(extended, partitions[at].bytes));
            if (partitions[at].bytes.begin == extended.begin)
                name = partitions[at].name;
        }
        if (holds_one_in_use)
            held.push_back({name, false, without(extended, cuts)});
    }
    return held;
}
