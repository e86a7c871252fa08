// trace_query TRACE: for the test scripts, what a trace says about the port,
// so that they need not restate its lines. Prints "PORT RELEASE" on one line:
// PORT is opened, not-opened or no-bring-up; RELEASE is released,
// release-failed or no-release. A text that is not a whole trace is refused
// on stderr with exit status 3 ("-" reads standard input).
#include <cstdio>
#include <string>

#include "trace/reader.h"

int main(int argc, char **argv)
{
    if (argc != 2) {
        (void)std::fprintf(stderr, "usage: trace_query TRACE\n"); // stderr is where it would be said
        return 2;
    }
    trace::ParsedTrace parsed;
    const std::string problem = trace::LoadTrace(argv[1], parsed);
    if (!problem.empty()) {
        (void)std::fprintf(stderr, "trace_query: %s\n", problem.c_str()); // stderr is where it would be said
        return 3;
    }
    const char *port = parsed.port == trace::PortState::Opened      ? "opened"
                       : parsed.port == trace::PortState::NotOpened ? "not-opened"
                                                                    : "no-bring-up";
    const char *release = !parsed.hasRelease ? "no-release" : parsed.released ? "released" : "release-failed";
    return std::printf("%s %s\n", port, release) < 0 ? 1 : 0;
}
