#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

// Runs the built velmora-sim against a state file in a private temporary runtime folder.
class tst_VelmoraSim : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void freshCardShowsDefaults();
    void setThenGet_data();
    void setThenGet();
    void patternFaultAndReset();
    void help_data();
    void help();
    void version();
    void badUsage_data();
    void badUsage();
    void unusableStateFile_data();
    void unusableStateFile();

private:
    struct Result {
        int exitCode = -1;
        QString out;
        QString err;
    };
    Result run(const QStringList &args);
    QString statePath() const { return m_dir->path() + QStringLiteral("/velmora/simcard"); }
    void writeState(const QByteArray &content);

    QString m_binary;
    std::unique_ptr<QTemporaryDir> m_dir;
};

namespace {

const QString Faultless = QStringLiteral("fault read0 none\n"
                                         "fault read1 none\n"
                                         "fault configure none\n"
                                         "fault select none\n"
                                         "trace off\n");

} // namespace

tst_VelmoraSim::Result tst_VelmoraSim::run(const QStringList &args)
{
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), m_dir->path());
    process.setProcessEnvironment(env);
    process.start(m_binary, args);
    if (!process.waitForFinished(10000) || process.exitStatus() != QProcess::NormalExit)
        return {};
    return {process.exitCode(), QString::fromUtf8(process.readAllStandardOutput()),
            QString::fromUtf8(process.readAllStandardError())};
}

void tst_VelmoraSim::writeState(const QByteArray &content)
{
    QVERIFY(QDir(m_dir->path()).mkdir(QStringLiteral("velmora")));
    QFile::setPermissions(m_dir->path() + QStringLiteral("/velmora"),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QFile file(statePath());
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(content);
}

void tst_VelmoraSim::initTestCase()
{
    m_binary = qEnvironmentVariable("VELMORA_SIM_BINARY");
    QVERIFY2(QFile::exists(m_binary), "set VELMORA_SIM_BINARY to the built velmora-sim");
}

void tst_VelmoraSim::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

void tst_VelmoraSim::freshCardShowsDefaults()
{
    const Result result = run({QStringLiteral("get")});
    QCOMPARE(result.err, QString());
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(result.out, QStringLiteral("port0 0x0000 0\nport1 0x0000 0\nport2 0x0000 0\n"
                                        "pattern count\n") +
                             Faultless);
    QVERIFY(QFile::exists(statePath()));
}

void tst_VelmoraSim::setThenGet_data()
{
    QTest::addColumn<QStringList>("before");
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("ports");

    QTest::newRow("decimal") << QStringList() << QStringList{"165", "60"}
                             << "port0 0x00a5 165\nport1 0x003c 60\nport2 0x0000 0\n";
    QTest::newRow("hex and negative")
        << QStringList() << QStringList{"0xA5", "-1", "0x8000"}
        << "port0 0x00a5 165\nport1 0xffff 65535\nport2 0x8000 32768\n";
    QTest::newRow("limits") << QStringList() << QStringList{"-32768", "65535", "0"}
                            << "port0 0x8000 32768\nport1 0xffff 65535\nport2 0x0000 0\n";
    QTest::newRow("two values keep port 2")
        << QStringList{"set", "1", "2", "3"} << QStringList{"4", "5"}
        << "port0 0x0004 4\nport1 0x0005 5\nport2 0x0003 3\n";
    QTest::newRow("pattern turned off") << QStringList{"pattern", "walk"} << QStringList{"7", "8"}
                                        << "port0 0x0007 7\nport1 0x0008 8\nport2 0x0000 0\n";
}

void tst_VelmoraSim::setThenGet()
{
    QFETCH(QStringList, before);
    QFETCH(QStringList, args);
    QFETCH(QString, ports);

    if (!before.isEmpty())
        QCOMPARE(run(before).exitCode, 0);
    const Result set = run(QStringList{"set"} + args);
    QCOMPARE(set.err, QString());
    QCOMPARE(set.exitCode, 0);
    QCOMPARE(run({"get"}).out, ports + "pattern off\n" + Faultless);
}

void tst_VelmoraSim::patternFaultAndReset()
{
    for (const QStringList &args :
         {QStringList{"set", "1", "2", "3"}, QStringList{"pattern", "random"},
          QStringList{"fault", "read1", "error"}, QStringList{"fault", "select", "nobool"},
          QStringList{"trace", "/tmp/velmora-trace/../ticks.log"}}) {
        QCOMPARE(run(args).exitCode, 0);
    }
    QCOMPARE(run({"get"}).out, QStringLiteral("port0 0x0001 1\nport1 0x0002 2\nport2 0x0003 3\n"
                                              "pattern random\n"
                                              "fault read0 none\n"
                                              "fault read1 error\n"
                                              "fault configure none\n"
                                              "fault select nobool\n"
                                              "trace /tmp/ticks.log\n"));
    QCOMPARE(run({"reset"}).exitCode, 0);
    QCOMPARE(run({"get"}).out,
             "port0 0x0000 0\nport1 0x0000 0\nport2 0x0000 0\npattern off\n" + Faultless);
}

void tst_VelmoraSim::help_data()
{
    QTest::addColumn<QString>("option");
    QTest::newRow("--help") << "--help";
    QTest::newRow("-h") << "-h";
    QTest::newRow("help") << "help";
}

void tst_VelmoraSim::help()
{
    QFETCH(QString, option);
    const Result result = run({option});
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(result.err, QString());
    for (const QString &part :
         {QStringLiteral("usage: velmora-sim"), QStringLiteral("set P0 P1 [P2]"),
          QStringLiteral("pattern NAME"), QStringLiteral("fault OP MODE"), QStringLiteral("reset"),
          statePath()})
        QVERIFY2(result.out.contains(part), qPrintable(part));
}

void tst_VelmoraSim::version()
{
    const Result result = run({"--version"});
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(result.out, QString("velmora-sim 1.00\n"));
    QCOMPARE(run({"--version", "now"}).exitCode, 2);
}

void tst_VelmoraSim::badUsage_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("reason");

    const auto row = [](const char *name, QStringList args, const char *reason) {
        QTest::newRow(name) << args << QString::fromLatin1(reason);
    };
    row("nothing", {}, "no command given");
    row("unknown command", {"frob"}, "unknown command 'frob'");
    row("set one value", {"set", "1"}, "'set' takes 2 or 3 arguments, not 1");
    row("set four values", {"set", "1", "2", "3", "4"}, "'set' takes 2 or 3 arguments, not 4");
    row("too large", {"set", "65536", "0"}, "'65536' is out of range (-32768..65535)");
    row("too small", {"set", "0", "-32769"}, "'-32769' is out of range");
    row("bare 0x", {"set", "0x", "0"}, "'0x' is not a number");
    row("trailing junk", {"set", "12abc", "0"}, "'12abc' is not a number");
    row("plus sign", {"set", "+1", "0"}, "'+1' is not a number");
    row("pattern missing", {"pattern"}, "'pattern' takes 1 argument, not 0");
    row("unknown pattern", {"pattern", "blink"}, "unknown pattern 'blink'");
    row("fault without mode", {"fault", "read0"}, "'fault' takes 2 arguments, not 1");
    row("unknown operation", {"fault", "write", "none"}, "unknown operation 'write'");
    row("unknown mode", {"fault", "read0", "maybe"}, "unknown fault mode 'maybe'");
    row("get with argument", {"get", "now"}, "'get' takes 0 arguments, not 1");
}

void tst_VelmoraSim::badUsage()
{
    QFETCH(QStringList, args);
    QFETCH(QString, reason);
    const Result result = run(args);
    QCOMPARE(result.exitCode, 2);
    QVERIFY2(result.err.startsWith("velmora-sim: ") && result.err.contains(reason),
             qPrintable(result.err));
    QVERIFY(result.err.contains("usage: velmora-sim"));
    QCOMPARE(result.out, QString());
    // Refused before anything was touched.
    QVERIFY(!QFile::exists(statePath()));
}

void tst_VelmoraSim::unusableStateFile_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::newRow("get") << QStringList{"get"};
    QTest::newRow("set") << QStringList{"set", "1", "2"};
    QTest::newRow("pattern") << QStringList{"pattern", "off"};
    QTest::newRow("fault") << QStringList{"fault", "read0", "error"};
}

void tst_VelmoraSim::unusableStateFile()
{
    QFETCH(QStringList, args);
    const QByteArray corrupt = "velmora-simcard 1\nport0 zz\n";
    writeState(corrupt);

    const Result result = run(args);
    QCOMPARE(result.exitCode, 1);
    QVERIFY2(result.err.startsWith("velmora-sim: " + statePath() + ": corrupt: line 2:"),
             qPrintable(result.err));
    QVERIFY(result.err.contains("velmora-sim reset"));
    QFile file(statePath());
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), corrupt);
    file.close();

    // reset never reads the old file, so it mends it.
    QCOMPARE(run({"reset"}).exitCode, 0);
    QCOMPARE(run({"get"}).exitCode, 0);
}

QTEST_GUILESS_MAIN(tst_VelmoraSim)
#include "tst_velmorasim.moc"
