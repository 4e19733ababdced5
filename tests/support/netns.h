// Entering a network namespace that tests/support/netns.sh made (Linux, root).
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <thread>

namespace tavrik::test {

// Runs `work` on a thread inside network namespace `ns`. Sockets made there,
// and processes started there, stay in it.
inline void in_namespace(const std::string& ns, const std::function<void()>& work) {
  std::thread([&] {
    int fd = open(("/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
    bool entered = fd >= 0 && setns(fd, CLONE_NEWNET) == 0;
    if (fd >= 0) close(fd);
    if (entered) return work();
    ADD_FAILURE() << "cannot enter network namespace " << ns;
  }).join();
}

}  // namespace tavrik::test
