// portdoctor: says why serial port COM1 will not work for comtrace, and how
// to fix it.
#include <cstdio>
#include <string>

#include "doctor.h"

int main(int argc, char **argv)
{
    portdoctor::Options options;
    const std::string problem = portdoctor::ParseOptions(argc, argv, options);
    if (!problem.empty()) {
        // stderr is where it would be said
        (void)std::fprintf(stderr, "portdoctor: %s (see portdoctor --help)\n", problem.c_str());
        return 2;
    }
    if (options.help) {
        (void)std::fputs(portdoctor::UsageText().c_str(), stdout); // a closed stdout leaves nobody to read it
        return 0;
    }
    if (options.version) {
        (void)std::printf("portdoctor %s\n", PORTDOCTOR_VERSION); // as for --help
        return 0;
    }
    portdoctor::Report report;
    portdoctor::LookAtPort(options, report);
    return portdoctor::PrintReport(report);
}
