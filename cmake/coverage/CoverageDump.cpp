// Linked into every executable of a coverage build (PSM_COVERAGE). gcov
// writes its counters only on a normal exit, but tests stop the agent, the
// simulator and other children with SIGTERM, whose default action ends the
// process without running exit handlers. This writes the counters first,
// then lets SIGTERM end the process as before. SIGKILL cannot be caught, so
// a process killed that way still contributes nothing.
#include <csignal>

extern "C" void __gcov_dump(void);

namespace
{

void dumpAndTerminate(int sig)
{
    __gcov_dump();
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}

__attribute__((constructor)) void installCoverageDump()
{
    struct sigaction current = {};
    sigaction(SIGTERM, nullptr, &current);
    // Keep an "ignore" the process inherited.
    if (current.sa_handler != SIG_DFL) {
        return;
    }
    struct sigaction action = {};
    action.sa_handler = dumpAndTerminate;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
}

} // namespace
