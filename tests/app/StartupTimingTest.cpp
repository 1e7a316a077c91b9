// The start-up timing: reading the process's start, and the executable's
// --timing report on the virtual card.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>

#include "app/StartupTiming.h"
#include "tests/support/TempDir.h"
#include "tests/support/WavWriter.h"

TEST(StartupTiming, ReadsTheStartTimeWhateverTheCommandName) {
    uint64_t ticks = 0;
    // Field 22 counted from the pid; the name holds blanks and parentheses.
    const std::string stat =
        "4242 (my (odd) prog) S 1 4242 4242 0 -1 4194560 100 0 0 0 1 2 0 0 20 0 1 0 987654 12345 "
        "67 "
        "18446744073709551615";
    ASSERT_TRUE(startup::ParseStartTicks(stat, &ticks));
    EXPECT_EQ(ticks, 987654u);
    EXPECT_FALSE(startup::ParseStartTicks("4242 (prog) S 1 2 3", &ticks));
}

TEST(StartupTiming, TheProgramReportsItsFirstPaintAndWorksInItsWorkDir) {
    TempDir dir;
    ASSERT_EQ(mkdir(dir.File("state").c_str(), 0700), 0);
    ASSERT_TRUE(WriteBytes(dir.File("state/ASIOConfig.txt"), {'2'}));
    QProcess process;
    process.setWorkingDirectory(QString::fromStdString(dir.path()));
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.remove("CANTABILE_VC_RECORD");
    process.setProcessEnvironment(env);
    process.start(CANTABILE_APP_EXE, {"--timing", "--workdir", "state"});
    ASSERT_TRUE(process.waitForStarted(5000));
    QByteArray output;
    while (!output.contains('\n') && process.waitForReadyRead(20000))
        output += process.readAllStandardOutput();
    process.terminate();
    process.waitForFinished(5000);

    const QRegularExpression line(
        "^First paint: (\\d+) ms after process start, ([0-9.]+) ms after main");
    const QRegularExpressionMatch match = line.match(QString::fromLocal8Bit(output));
    ASSERT_TRUE(match.hasMatch()) << output.toStdString();
    // From process start includes everything from main on.
    EXPECT_GE(match.captured(1).toDouble() + 10.0, match.captured(2).toDouble());
    // The virtual card named in the work directory opened, and logged there.
    EXPECT_NE(ReadWholeFile(dir.File("state/OstinatoDbg.Log")).find("Virtual Card"),
              std::string::npos);
}
