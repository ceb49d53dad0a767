// Checks of the soak tool's own judge: the stream scanner and the delivery ledger. A checker
// that misreads the stream or the windows would pass a server that loses texts.

#include "../common/check.h"
#include "delivery_ledger.h"
#include "record.h"
#include "stream_scanner.h"

#include <string>

namespace {

constexpr std::uint64_t kSeed = 77;

RecordHeader broadcast(std::uint16_t sender, std::uint32_t seq, std::uint16_t length) {
    RecordHeader h;
    h.sender = sender;
    h.seq = seq;
    h.length = length;
    return h;
}

std::string encoded(std::uint16_t sender, std::uint32_t seq, std::uint16_t length = 300) {
    return encodeRecord(broadcast(sender, seq, length), kSeed);
}

void scannerFindsRecordsAcrossAnySplit() {
    const std::string stream =
        ":ID:3" + encoded(1, 0) + ":USERSTAT10 1009" + encoded(2, 5) + "plain large text";
    for (std::size_t cut = 0; cut <= stream.size(); ++cut) {
        StreamScanner scanner(kSeed, "");
        ScanOutput out;
        scanner.feed(stream.data(), cut, out);
        scanner.feed(stream.data() + cut, stream.size() - cut, out);
        CHECK(out.records.size() == 2);
        CHECK(out.damaged.empty() && out.headless == 0);
        CHECK(out.departures.size() == 1 && out.departures[0] == 10);
        CHECK(out.greetings.size() == 1 && out.greetings[0] == 3);
    }
}

void scannerReportsCutRecords() {
    // Sender 1's record reached the server in two arrivals and sender 2's record went between.
    const std::string whole = encoded(1, 4);
    const std::string stream = whole.substr(0, 100) + encoded(2, 0) + whole.substr(100);
    StreamScanner scanner(kSeed, "");
    ScanOutput out;
    scanner.feed(stream.data(), stream.size(), out);
    CHECK(out.records.size() == 1 && out.records[0].sender == 2);
    CHECK(out.damaged.size() == 1 && out.damaged[0].sender == 1 && out.damaged[0].seq == 4);

    // Cut inside the header: nobody can be named.
    const std::string early = whole.substr(0, 6) + encoded(2, 1);
    ScanOutput out2;
    StreamScanner(kSeed, "").feed(early.data(), early.size(), out2);
    CHECK(out2.headless == 1 && out2.records.size() == 1);
}

void scannerRejectsAlteredBytes() {
    std::string text = encoded(1, 9);
    text[40] = static_cast<char>(text[40] ^ 1);
    ScanOutput out;
    StreamScanner(kSeed, "").feed(text.data(), text.size(), out);
    CHECK(out.records.empty() && out.damaged.size() == 1);

    std::string shorter = encoded(1, 9);
    shorter.erase(50, 1); // one byte lost: the end marker no longer lines up
    shorter += encoded(1, 10);
    ScanOutput out2;
    StreamScanner(kSeed, "").feed(shorter.data(), shorter.size(), out2);
    CHECK(out2.records.size() == 1 && out2.records[0].seq == 10 && out2.damaged.size() == 1);
}

void scannerReadsGreetingsWithPassword() {
    const std::string stream = ":ID:7secret" + encoded(3, 1);
    StreamScanner scanner(kSeed, "secret");
    ScanOutput out;
    scanner.feed(stream.data(), 8, out); // ":ID:7sec"
    CHECK(out.greetings.empty());
    scanner.feed(stream.data() + 8, stream.size() - 8, out);
    CHECK(out.greetings.size() == 1 && out.greetings[0] == 7 && out.records.size() == 1);
}

void payloadAvoidsReservedBytes() {
    const std::string text = encoded(5, 123, 60000);
    CHECK(text.find('{', 1) == std::string::npos);
    CHECK(text.find(':') == std::string::npos && text.find('@') == std::string::npos);
    RecordHeader parsed;
    CHECK(parseHeader(text.data(), text.size(), parsed) && parsed.length == 60000);
}

void ledgerDemandsEveryTextInTheWindow() {
    DeliveryLedger ledger;
    ledger.openSender(1, true);
    ledger.recordWritten(1, 10); // seq 0: before the receiver's greeting, not owed
    ledger.openReceiver(2, ReceiverKind::WholeRun);
    for (int i = 0; i < 4; ++i) {
        ledger.recordWritten(1, 10); // seqs 1..4
    }
    ledger.onRecord(2, 5, broadcast(1, 1, 0));
    ledger.onRecord(2, 5, broadcast(1, 3, 0));
    DeliveryVerdict v = ledger.verdict();
    CHECK(v.missing == 2); // 2 in the middle, 4 at the end
    ledger.onRecord(2, 5, broadcast(1, 4, 0));
    v = ledger.verdict();
    CHECK(v.missing == 1 && !v.clean());
    ledger.onRecord(2, 5, broadcast(1, 2, 0)); // late: out of order, still counted missing
    v = ledger.verdict();
    CHECK(v.outOfOrder == 1 && v.missing == 1);
}

void ledgerExcusesOnlyTransportCuts() {
    DeliveryLedger ledger;
    ledger.openReceiver(2, ReceiverKind::WholeRun);
    ledger.openSender(1, true);
    for (int i = 0; i < 3; ++i) {
        ledger.recordWritten(1, 10);
    }
    ledger.onRecord(2, 5, broadcast(1, 0, 0));
    ledger.onDamaged(2, broadcast(1, 1, 0));
    ledger.onRecord(2, 5, broadcast(1, 2, 0));
    DeliveryVerdict v = ledger.verdict();
    CHECK(v.clean() && v.splitByTransport == 1);
}

void ledgerLetsALeavingSenderLoseOnlyItsTail() {
    DeliveryLedger ledger;
    ledger.openReceiver(2, ReceiverKind::WholeRun);
    ledger.openSender(9, false);
    ledger.openReceiver(9, ReceiverKind::WhileConnected);
    for (int i = 0; i < 5; ++i) {
        ledger.recordWritten(9, 10);
    }
    ledger.onRecord(9, 6, broadcast(9, 0, 0)); // echoes to the sender: 0 and 1
    ledger.onRecord(9, 6, broadcast(9, 1, 0));
    ledger.onRecord(2, 5, broadcast(9, 0, 0));
    DeliveryVerdict v = ledger.verdict();
    CHECK(v.missing == 1); // seq 1 came back to its sender, so the reader is owed it
    ledger.onRecord(2, 5, broadcast(9, 1, 0));
    CHECK(ledger.verdict().clean()); // 2..4 were never relayed as far as anyone knows

    ledger.onRecord(2, 5, broadcast(9, 3, 0)); // but a hole before a received text is a loss
    CHECK(ledger.verdict().missing == 1);
}

void ledgerJudgesAnEarlyLeaverByItsUnbrokenRun() {
    DeliveryLedger ledger;
    ledger.openSender(1, true);
    ledger.openReceiver(7, ReceiverKind::WhileConnected);
    for (int i = 0; i < 10; ++i) {
        ledger.recordWritten(1, 10);
    }
    CHECK(ledger.verdict().clean()); // it may have left before anything came
    ledger.onRecord(7, 4, broadcast(1, 0, 0));
    ledger.onRecord(7, 4, broadcast(1, 1, 0));
    CHECK(ledger.verdict().clean());
    ledger.onRecord(7, 4, broadcast(1, 5, 0));
    CHECK(ledger.verdict().missing == 3);
}

void ledgerSortsPrivateTexts() {
    DeliveryLedger ledger;
    ledger.openReceiver(2, ReceiverKind::WholeRun); // slot 3
    ledger.openReceiver(4, ReceiverKind::WholeRun); // slot 5
    for (int i = 0; i < 2; ++i) {
        ledger.privateWritten(8, 3);
        ledger.privateWritten(8, 5);
    }
    RecordHeader p;
    p.kind = RecordKind::Private;
    p.sender = 8;
    p.target = 3;
    p.seq = 0;
    ledger.onRecord(2, 3, p);
    p.target = 5;
    ledger.onRecord(2, 3, p); // joined onto the text for slot 3: delivered there instead
    p.seq = 1;
    ledger.onRecord(4, 5, p);
    DeliveryVerdict v = ledger.verdict();
    CHECK(v.privateJoined == 1 && v.privateMissing == 1); // slot 3's second text never came
    p.target = 3;
    ledger.onRecord(2, 3, p);
    CHECK(ledger.verdict().clean());
}

} // namespace

int main() {
    scannerFindsRecordsAcrossAnySplit();
    scannerReportsCutRecords();
    scannerRejectsAlteredBytes();
    scannerReadsGreetingsWithPassword();
    payloadAvoidsReservedBytes();
    ledgerDemandsEveryTextInTheWindow();
    ledgerExcusesOnlyTransportCuts();
    ledgerLetsALeavingSenderLoseOnlyItsTail();
    ledgerJudgesAnEarlyLeaverByItsUnbrokenRun();
    ledgerSortsPrivateTexts();
    return bench::checksPassed("all soak self-checks passed");
}
