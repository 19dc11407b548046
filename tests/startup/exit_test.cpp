// A process that ends while the stack runs, without nfcDone, still ends.
#include <gtest/gtest.h>

#include <cstdlib>

#include <poll.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "api/nfcapi_init.h"
#include "api/nfcapi_modules.h"

namespace {

constexpr int kEndMs = 10000;     // a bound that only a process that cannot end reaches

// A stack of the OS layer and its worker alone.
const NfcapiServices kNoModules{nullptr, 0, NfcapiComLayer{}, nullptr};

[[noreturn]] void startAndLeave() {
    nfcapiSetServices(&kNoModules);
    if (nfcapiInitialize("READERTYPE=NCI", nullptr, nullptr) != nfcStatusOk || nfcapiState() == NFCAPI_STATE_IDLE)
        _exit(2);
    std::exit(0);
}

} // namespace

TEST(ProcessEnd, EndsWhileTheStackRuns) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) startAndLeave();
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, child, 0));
    ASSERT_GE(pidfd, 0);
    pollfd ended{pidfd, POLLIN, 0};
    const bool done = poll(&ended, 1, kEndMs) == 1;
    close(pidfd);
    if (!done) kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(done) << "the process did not end";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}
