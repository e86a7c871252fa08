// Writes the trace fuzzer's seed corpus into the folder given: a handful of
// traces the program can print, one per form the reader takes, written by
// the trace writer from devsim's devices. Run by hand when the forms change:
//   make_trace_corpus tests/fuzz/trace_corpus
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "devsim/device.h"
#include "trace/writer.h"

namespace {

std::vector<trace::Bytes> CollectionsFrom(const devsim::DeviceOptions &options)
{
    return trace::CollectionsOf(devsim::JoinedReplies(options));
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        (void)std::fprintf(stderr, "usage: make_trace_corpus FOLDER\n");
        return 2;
    }
    devsim::DeviceOptions silent;
    silent.silent = true;
    devsim::DeviceOptions answering;
    answering.answerAcks = true;
    devsim::DeviceOptions longText;
    longText.longText = true;
    const std::vector<trace::Bytes> none(trace::CollectionCount);
    std::string clearBreakFailed = trace::BringUpText(true);
    const std::string clearBreak = trace::BringUpSteps[trace::ClearBreakStep].success;
    clearBreakFailed.replace(clearBreakFailed.find(clearBreak), clearBreak.size(),
                             std::string(trace::BringUpSteps[trace::ClearBreakStep].failure) + "\n" +
                                 trace::ErrorCodePrefix + "5 " + trace::ErrorCodeText(5));
    // A run stopped inside block 0x25's dump.
    const std::string talking = trace::WholeTrace(CollectionsFrom({}));
    const std::string cut = talking.substr(0, talking.find('\n', talking.find("send [x52] [x00] [x25] ")) + 50);
    const struct {
        const char *name;
        std::string text;
    } seeds[] = {
        {"silent", trace::DialogueText(CollectionsFrom(silent))},
        {"talking", talking},
        {"talking_cut_in_block_37", cut},
        {"answering_crlf", trace::Encoded(trace::BringUpText(true) + trace::DialogueText(CollectionsFrom(answering)),
                                          trace::LineEnd::CrLf, false)},
        {"absent_utf16", trace::Encoded(trace::WholeTrace(none, false), trace::LineEnd::CrLf, true)},
        {"long_text_clear_break_failed", "\xEF\xBB\xBF" + clearBreakFailed +
                                             trace::DialogueText(CollectionsFrom(longText)) +
                                             trace::ReleaseText(false)},
    };
    for (const auto &seed : seeds) {
        const std::string path = std::string(argv[1]) + "/" + seed.name;
        std::ofstream out(path, std::ios::binary);
        out << seed.text;
        if (!out.flush()) {
            (void)std::fprintf(stderr, "make_trace_corpus: cannot write %s\n", path.c_str());
            return 1;
        }
    }
    return 0;
}
