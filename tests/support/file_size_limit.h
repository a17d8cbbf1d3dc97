#pragma once

// Writes that really fail, without a full disk or mount privileges: a file-size limit
// (RLIMIT_FSIZE) makes every write past it fail with EFBIG ("File too large"), as a full disk
// fails with ENOSPC, once SIGXFSZ is ignored (by default that signal ends the process).

#include <QProcess>

#include <csignal>
#include <sys/resource.h>

namespace testsupport {

// Lowers this process's limit for its lifetime. Only the soft limit changes, so it can be
// raised again.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t Bytes) {
        m_ok = ::getrlimit(RLIMIT_FSIZE, &m_saved) == 0;
        m_oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit lowered = m_saved;
        lowered.rlim_cur = Bytes;
        m_ok = m_ok && ::setrlimit(RLIMIT_FSIZE, &lowered) == 0;
    }
    ~FileSizeLimit() {
        ::setrlimit(RLIMIT_FSIZE, &m_saved);
        std::signal(SIGXFSZ, m_oldHandler);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

    bool Active() const { return m_ok; }

private:
    rlimit m_saved{};
    void (*m_oldHandler)(int) = SIG_DFL;
    bool m_ok = false;
};

// The same limit for a child process only (set between fork and exec).
inline void LimitChildFileSize(QProcess& Process, rlim_t Bytes) {
    Process.setChildProcessModifier([Bytes] {
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit{};
        ::getrlimit(RLIMIT_FSIZE, &limit);
        limit.rlim_cur = Bytes;
        ::setrlimit(RLIMIT_FSIZE, &limit);
    });
}

} // namespace testsupport
