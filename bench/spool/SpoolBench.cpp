// SpoolBench.cpp - times a mailbox reading a spool whole (records, threads and sorted lists
// built), the memory it holds per message, and the cost of reading one appended message.
//
// usage: spool_bench SPOOL memory|time|once [mime]
// With `mime` the mailbox decodes its header values as a `mime` mailbox does.
// Prints "key value" lines; run.py turns them into ratios against grep and wc.
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "server/Options.h"
#include "mail/MailboxNode.h"
#include "mail/MimeText.h"

namespace {

long RssKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
    }
    return -1;
}

double CpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double Seconds(std::chrono::steady_clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

const char kAppended[] =
    "From bench@example.org Mon Jan  9 10:11:12 1995\n"
    "From: Bench <bench@example.org>\n"
    "Subject: Re: kernel build\n"
    "Date: Mon, 9 Jan 1995 10:11:12 +0000\n"
    "Message-Id: <appended@example.org>\n"
    "\n"
    "one more\n\n";

bool g_mime = false;

std::unique_ptr<CMailboxNode> MakeMailbox(const std::string& spool) {
    auto box = std::make_unique<CMailboxNode>(CFolderNode::NoScan{}, "bench", spool);
    if (g_mime) {
        auto options = std::make_shared<COptions>();
        options->m_mime = 1;
        box->m_options = options;
    }
    return box;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s SPOOL memory|time\n", argv[0]);
        return 2;
    }
    std::string source = argv[1];
    std::string mode = argc > 2 ? argv[2] : "time";
    g_mime = argc > 3 && std::string(argv[3]) == "mime";
    // GMime's set-up (charset tables) is paid once per process, not per message: pay it
    // before the empty mailbox is measured.
    if (g_mime) MimeParserOptions();

    if (mode == "memory") {
        // Resident size with an empty mailbox, then with the whole spool read, in a process
        // whose heap nothing else has grown.
        auto box = MakeMailbox(source);
        long before = RssKiB();
        box->ReadSpool(0);
        long after = RssKiB();
        int count = box->MessageCount();
        std::printf("rss_empty_kib %ld\nrss_full_kib %ld\nbytes_per_message %.1f\n", before, after,
                    count ? (after - before) * 1024.0 / count : 0.0);
        return 0;
    }
    if (mode == "once") {  // for profiling: one read, no teardown
        auto* box = MakeMailbox(source).release();
        box->ReadSpool(0);
        std::printf("messages %d\n", box->MessageCount());
        std::fflush(stdout);
        std::_Exit(0);
    }
    const int repeats = 3;

    // Whole reads: best of `repeats`, each into a fresh mailbox.
    double best = 1e9;
    double bestCpu = 1e9;
    int count = 0;
    for (int i = 0; i < repeats; ++i) {
        auto box = MakeMailbox(source);
        auto start = std::chrono::steady_clock::now();
        double cpuStart = CpuSeconds();
        box->ReadSpool(0);
        bestCpu = std::min(bestCpu, CpuSeconds() - cpuStart);
        best = std::min(best, Seconds(std::chrono::steady_clock::now() - start));
        count = box->MessageCount();
    }
    std::printf("messages %d\nread_seconds %.4f\nread_cpu_seconds %.4f\n", count, best, bestCpu);

    // One appended message: a copy of the spool grows by one message per round.
    {
        char pattern[] = "/tmp/vantrel-bench-XXXXXX";
        int fd = ::mkstemp(pattern);
        if (fd < 0) return 1;
        ::close(fd);
        std::string copy = pattern;
        {
            std::ifstream in(source, std::ios::binary);
            std::ofstream out(copy, std::ios::binary);
            out << in.rdbuf();
        }
        auto box = MakeMailbox(copy);
        box->ReadSpool(0);
        std::vector<double> times;
        for (int i = 0; i < 50; ++i) {
            {
                std::ofstream out(copy, std::ios::binary | std::ios::app);
                out << kAppended;
            }
            auto start = std::chrono::steady_clock::now();
            box->ReadNewMail();
            times.push_back(Seconds(std::chrono::steady_clock::now() - start));
        }
        std::sort(times.begin(), times.end());
        std::printf("append_median_us %.1f\nappend_messages %d\n", times[times.size() / 2] * 1e6,
                    box->MessageCount() - count);
        ::unlink(copy.c_str());
    }
    return 0;
}
