// Checks of what every bench tool stands on: a command line misread, a byte reordered in a
// backlog or an epoll failure passed over would falsify every figure measured with them.

#include "check.h"
#include "net.h"
#include "options.h"
#include "process_stats.h"

#include <algorithm>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

void optionTableReadsBothFormsAndNamesWhatIsWrong() {
    int count = 0;
    double seconds = 1.0;
    std::string name;
    bool flag = false;
    bench::OptionTable t("tool", "usage: tool", 12);
    t.value("--count", "N", "how many", bench::number(count, 1, 10));
    t.value("--seconds", "S", "how long", bench::positive(seconds, 60.0));
    t.value("--name", "TEXT", "who", bench::text(name, false));
    t.flag("--flag", "on or off", flag);
    bool help = false;
    CHECK(t.apply({"--count", "3", "--seconds=0.5", "--flag", "--name=a=b"}, help).empty());
    CHECK(!help && count == 3 && seconds == 0.5 && flag && name == "a=b");

    CHECK(t.apply({"--count", "11"}, help) == "bad value '11' for --count");
    CHECK(t.apply({"--count=3x"}, help) == "bad value '3x' for --count");
    CHECK(t.apply({"--seconds", "0"}, help) == "bad value '0' for --seconds");
    CHECK(t.apply({"--seconds", "nan"}, help) == "bad value 'nan' for --seconds");
    CHECK(t.apply({"--name="}, help) == "bad value '' for --name");
    CHECK(t.apply({"--flag=1"}, help) == "unknown option --flag");
    CHECK(t.apply({"--size", "3"}, help) == "unknown option --size");
    CHECK(t.apply({"--count"}, help) == "missing value for --count");
    CHECK(!help);
    CHECK(t.apply({"--count", "2", "-h", "--size"}, help).empty() && help);
    CHECK(t.help() == "usage: tool\n"
                      "  --count N how many\n"
                      "  --seconds S how long\n"
                      "  --name TEXT who\n"
                      "  --flag    on or off\n");
}

// Two connected ends; the first with a small send buffer, which fills quickly.
void connectPair(bench::Connection& a, bench::Connection& b) {
    int pair[2];
    CHECK(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, pair) == 0);
    const int small = 4096;
    ::setsockopt(pair[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    a.adopt(pair[0]);
    b.adopt(pair[1]);
}

void connectionKeepsOrderThroughItsBacklog() {
    bench::Connection writer;
    bench::Connection reader;
    connectPair(writer, reader);
    std::string expected;
    std::string received;
    std::size_t mostQueued = 0;
    char buffer[2048];
    // Texts of many lengths go in faster than they are read, in reads of many sizes, so that
    // the backlog grows, is sent in pieces and is compacted on the way.
    for (int round = 0; round < 100000 && (round < 500 || received.size() < expected.size());
         ++round) {
        if (round < 500) {
            // Built by appending: GCC 12 at -O3 sees a false overlap in "<" + std::string.
            std::string text(1, '<');
            text += std::to_string(round);
            text.append(static_cast<std::size_t>(round % 97) * 9, '.');
            text += '>';
            expected += text;
            CHECK(writer.write(text));
        }
        mostQueued = std::max(mostQueued, writer.backlog());
        const long got = reader.read(buffer, round % 10 == 0 ? sizeof buffer : 100);
        if (got > 0) {
            received.append(buffer, static_cast<std::size_t>(got));
        }
        CHECK(writer.flush());
    }
    CHECK(mostQueued > 10000);
    CHECK(received == expected);

    writer.close();
    CHECK(reader.read(buffer, sizeof buffer) == 0); // the end of the stream
}

void pollerNamesReadyDescriptorsAndReportsFailures() {
    bench::Connection a;
    bench::Connection b;
    connectPair(a, b);
    bench::Poller poller;
    std::string error;
    CHECK(poller.open(error));
    CHECK(a.watch(poller, 41, EPOLLIN, error) && b.watch(poller, 42, EPOLLIN, error));
    CHECK(b.write("x"));
    std::vector<std::pair<std::uint64_t, std::uint32_t>> seen;
    const auto record = [&](std::uint64_t token, std::uint32_t events) {
        seen.emplace_back(token, events);
    };
    CHECK(poller.wait(1000, record, error));
    CHECK(seen.size() == 1 && seen[0].first == 41 && (seen[0].second & EPOLLIN) != 0);

    seen.clear();
    CHECK(b.watch(poller, 42, EPOLLIN | EPOLLOUT, error)); // a change of interest, not a new entry
    CHECK(poller.wait(1000, record, error));
    CHECK(seen.size() == 2 && (seen[0].first == 42 || seen[1].first == 42));

    bench::Connection closed;
    CHECK(!closed.watch(poller, 5, EPOLLIN, error) && error.starts_with("epoll_ctl: "));
}

void processSamplesReadProc() {
    // Busy for a moment, so that both clocks have something to agree on.
    const double from = bench::ownCpuSeconds();
    while (bench::ownCpuSeconds() - from < 0.2) {
    }
    const auto cpu = bench::processCpuSeconds(::getpid());
    CHECK(cpu && *cpu > 0.1 && *cpu < bench::ownCpuSeconds() + 0.05);
    const bench::ProcessSample own = bench::sampleProcess(::getpid());
    CHECK(own.valid && own.rssKiB > 0 && own.descriptors >= 3);
    CHECK(!bench::processCpuSeconds(-1) && !bench::sampleProcess(-1).valid);
}

} // namespace

int main() {
    optionTableReadsBothFormsAndNamesWhatIsWrong();
    connectionKeepsOrderThroughItsBacklog();
    pollerNamesReadyDescriptorsAndReportsFailures();
    processSamplesReadProc();
    return bench::checksPassed("all bench common self-checks passed");
}
