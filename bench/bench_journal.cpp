// The journal's costs: one append on this machine's disk (open, lock, last record from the end,
// one write, fdatasync) as median and 99th percentile, and a journal of RECORDS records (built
// on /dev/shm when there is one, so that no disk sync slows the building) verified whole and
// read whole.
//
// bench_journal [RECORDS] [APPENDS]  (default 100000 and 200)
#include "support/journal.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <vector>

using namespace testing_support;

namespace {

double Milliseconds(const QElapsedTimer& t) {
    return double(t.nsecsElapsed()) / 1e6;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int records = argc > 1 ? std::atoi(argv[1]) : 100000;
    const int appends = argc > 2 ? std::atoi(argv[2]) : 200;

    QTemporaryDir disk;
    const QString onDisk = disk.filePath("journal.jsonl");
    std::vector<double> each;
    for (int n = 0; n < appends; ++n) {
        QElapsedTimer t;
        t.start();
        if (const QString why = AppendSamples(onDisk, 1, n); !why.isEmpty()) {
            std::fprintf(stderr, "%s\n", qPrintable(why));
            return 1;
        }
        each.push_back(Milliseconds(t));
    }
    std::sort(each.begin(), each.end());
    std::printf("append on %s: median %.3f ms, p99 %.3f ms (%d appends)\n", qPrintable(disk.path()),
                each[each.size() / 2], each[each.size() * 99 / 100], appends);

    QTemporaryDir big(QDir("/dev/shm").exists() ? QStringLiteral("/dev/shm/bench_journal-XXXXXX")
                                                : QString());
    const QString path = big.filePath("journal.jsonl");
    QElapsedTimer built;
    built.start();
    if (const QString why = AppendSamples(path, records); !why.isEmpty()) {
        std::fprintf(stderr, "%s\n", qPrintable(why));
        return 1;
    }
    std::printf("built %d records in %.0f ms (%s, %lld bytes)\n", records, Milliseconds(built),
                qPrintable(big.path()), static_cast<long long>(QFileInfo(path).size()));

    QElapsedTimer verify;
    verify.start();
    const zurid::platform::JournalCheck check = zurid::platform::VerifyJournal(path);
    const double verifyMs = Milliseconds(verify);
    std::printf("verify: %lld records %s in %.0f ms (target under 2000 ms)\n",
                static_cast<long long>(check.count),
                check.state == zurid::platform::JournalCheck::State::Whole ? "whole" : "BROKEN",
                verifyMs);

    QElapsedTimer read;
    read.start();
    const qsizetype got = zurid::platform::ReadJournal(path).records.size();
    std::printf("read: %lld records in %.0f ms\n", static_cast<long long>(got), Milliseconds(read));
    return check.state == zurid::platform::JournalCheck::State::Whole ? 0 : 1;
}
