#pragma once
// The lock on the built-in store: creations hold it exclusively, readers shared, so that no
// reader sees objects vanish while a creation prunes.
#include "platform/PlatformError.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <thread>
#include <unistd.h>

namespace vigilorn::store {

inline constexpr const char* kLockFile = "vigilorn.lock";

// flock(): held by the open file, so a crashed holder can never leave the store locked.
class StoreLock {
public:
    StoreLock() = default;
    StoreLock(const StoreLock&) = delete;
    StoreLock& operator=(const StoreLock&) = delete;
    ~StoreLock() { release(); }

    // `operation` is LOCK_EX or LOCK_SH; gives up after `waitSeconds`, or when `cancel` is set.
    Failure acquire(const std::string& path, int operation, int waitSeconds,
                    const std::atomic<bool>* cancel = nullptr) {
        release();
        // A reader may not be allowed to write the store; a shared lock needs no writing.
        const int mode = operation == LOCK_SH ? O_RDONLY : O_RDWR;
        m_fd = ::open(path.c_str(), mode | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (m_fd < 0)
            return errorFromErrno(errno);
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(waitSeconds);
        while (::flock(m_fd, operation | LOCK_NB) != 0) {
            if (errno == EINTR)
                continue;
            if (errno != EWOULDBLOCK)
                return errorFromErrno(errno);
            if (cancel && cancel->load(std::memory_order_relaxed))
                return PlatformError{ECANCELED, "Cancelled while the store was busy"};
            if (std::chrono::steady_clock::now() >= until)
                return PlatformError{EBUSY, "Another restore point is still being made"};
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return std::nullopt;
    }

    void release() {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }

private:
    int m_fd = -1;
};

} // namespace vigilorn::store
