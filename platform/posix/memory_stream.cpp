// TMemoryStream's store and its loading from a file.
#include <Classes.hpp>

#include <platform/interrupt.h>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr __int64 kFirstChunk = 1 << 16;

class TFile {
public:
    explicit TFile(int fd) : fd_(fd) {}
    ~TFile() {
        if (fd_ >= 0)
            close(fd_);
    }
    TFile(const TFile &) = delete;
    TFile &operator=(const TFile &) = delete;
    int fd() const { return fd_; }

private:
    int fd_;
};

[[noreturn]] void CannotOpen(const AnsiString &name) {
    throw Exception("Cannot open file " + name);
}

[[noreturn]] void OutOfMemory() {
    throw EOutOfMemory("Out of memory while expanding memory stream");
}

bool SameFile(const struct stat &a, const struct stat &b) {
    return a.st_size == b.st_size && a.st_mtim.tv_sec == b.st_mtim.tv_sec &&
           a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

} // namespace

TMemoryStream::~TMemoryStream() {
    std::free(memory_);
}

void TMemoryStream::Clear() {
    std::free(memory_);
    memory_ = nullptr;
    size_ = 0;
}

void TMemoryStream::LoadFromFile(const AnsiString &FileName) {
    LoadFromFile(FileName, std::numeric_limits<__int64>::max() - 1);
}

bool TMemoryStream::LoadFromFile(const AnsiString &FileName, __int64 MaxSize) {
    Clear();
    int fd;
    do {
        if (Platform::Interrupted())
            throw EAbort();
        fd = open(FileName.c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        CannotOpen(FileName);
    TFile file(fd);
    struct stat before = {};
    if (fstat(fd, &before) != 0 || S_ISDIR(before.st_mode))
        CannotOpen(FileName);
    bool regular = S_ISREG(before.st_mode);
    if (regular && before.st_size > MaxSize)
        return false;

    // A regular file is read into a block of its own size, so the store never
    // holds the image twice; other sources grow the block as they go.
    __int64 capacity = regular ? before.st_size + 1 : kFirstChunk;
    __int64 size = 0;
    auto *block = static_cast<char *>(std::malloc(static_cast<size_t>(capacity)));
    if (block == nullptr)
        OutOfMemory();
    struct Holder {
        char *&p;
        ~Holder() { std::free(p); }
    } holder{block};

    for (;;) {
        if (size == capacity) {
            if (size > MaxSize)
                return false;
            __int64 grown = capacity < (1 << 26) ? capacity * 2 : capacity + capacity / 2;
            if (grown > MaxSize)
                grown = MaxSize + 1; // one byte past the limit tells "too large"
            auto *larger = static_cast<char *>(std::realloc(block, static_cast<size_t>(grown)));
            if (larger == nullptr)
                OutOfMemory();
            block = larger;
            capacity = grown;
        }
        ssize_t n = read(fd, block + size, static_cast<size_t>(capacity - size));
        if (n == 0)
            break;
        if (n < 0) {
            if (errno != EINTR)
                CannotOpen(FileName);
            if (Platform::Interrupted())
                throw EAbort();
            continue;
        }
        size += n;
        if (size > MaxSize)
            return false;
    }
    struct stat after = {};
    if (regular && (fstat(fd, &after) != 0 || !SameFile(before, after) || size != before.st_size))
        throw Exception("File " + FileName + " changed while it was being read");

    memory_ = block;
    block = nullptr;
    size_ = size;
    return true;
}
