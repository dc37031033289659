#include "platform/posix/write_back.h"

#include "platform/posix/descriptor_list.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

namespace {

// A file or device whose writes are stored as they go.
struct WrittenBack {
    int descriptor;
    off_t begin = 0;  // the bytes [begin, end) of the last write, maybe still being stored
    off_t end = 0;
};

// The descriptors open for writing now.
std::vector<WrittenBack> written_back;

// The answers by which an object or its file system says it cannot be stored by range
// (ESPIPE: not a file; EINVAL, ENOSYS, EOPNOTSUPP: a file system or kernel without it).
// Every other answer is a failure to store the bytes.
bool cannot_be_asked(int code)
{
    return code == ESPIPE || code == EINVAL || code == ENOSYS || code == EOPNOTSUPP;
}

int sync_range(int descriptor, off_t begin, off_t end, unsigned int flags)
{
    int result;
    do
        result = sync_file_range(descriptor, begin, end - begin, flags);
    while (result != 0 && errno == EINTR);
    return result;
}

// Stores the bytes [begin, end) before it returns: what is being written out is waited
// for, what was written again meanwhile is written out too, and then waited for.
const unsigned int STORE_AND_WAIT =
    SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER;

}  // namespace

void start_write_back(int descriptor)
{
    end_write_back(descriptor);
    written_back.push_back({descriptor});
}

void end_write_back(int descriptor)
{
    erase_entry(written_back, descriptor);
}

bool write_back(int descriptor, std::size_t count)
{
    WrittenBack* file = find_entry(written_back, descriptor);
    if (file == nullptr || count == 0)
        return true;
    off_t end = lseek(descriptor, 0, SEEK_CUR);
    off_t begin = end - static_cast<off_t>(count);
    bool stored = begin >= 0 && sync_range(descriptor, begin, end, SYNC_FILE_RANGE_WRITE) == 0 &&
                  (file->end == file->begin ||
                   sync_range(descriptor, file->begin, file->end, STORE_AND_WAIT) == 0);
    if (!stored) {
        // A position that cannot be read back gives no range to ask about either.
        if (begin >= 0 && !cannot_be_asked(errno))
            return false;
        end_write_back(descriptor);
        return true;
    }
    file->begin = begin;
    file->end = end;
    return true;
}
