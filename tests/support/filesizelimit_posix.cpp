#include "testfiles.h"

#include <csignal>
#include <sys/resource.h>

FileSizeLimit::FileSizeLimit(qint64 bytes) {
    rlimit previous{};
    if (getrlimit(RLIMIT_FSIZE, &previous) != 0)
        return;
    m_previousSoft = previous.rlim_cur;
    m_previousHard = previous.rlim_max;
    // Past the limit the kernel sends SIGXFSZ, which would end the test program.
    m_pPreviousHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = previous;
    small.rlim_cur = rlim_t(bytes);
    m_bActive = setrlimit(RLIMIT_FSIZE, &small) == 0;
}

FileSizeLimit::~FileSizeLimit() {
    if (m_bActive) {
        rlimit previous{};
        previous.rlim_cur = rlim_t(m_previousSoft);
        previous.rlim_max = rlim_t(m_previousHard);
        setrlimit(RLIMIT_FSIZE, &previous);
    }
    if (m_pPreviousHandler)
        std::signal(SIGXFSZ, m_pPreviousHandler);
}
