#pragma once

// Signal state is process-wide; tests that raise signals run their body in a forked child. GoogleTest
// assertions inside the body print as usual; the parent fails unless the child ends with status 0 and no
// failure.

#include <functional>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

inline void runInChild(std::function<void()> const& body) {
    fflush(stdout);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        try {
            body();
        } catch (std::exception const& e) {
            ADD_FAILURE() << "exception in child: " << e.what();
        }
        fflush(stdout);
        _exit(::testing::Test::HasFailure() ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status)) << "child ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the child's checks failed (see above)";
}
