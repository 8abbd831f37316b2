// The picture of a relay's run as a real renderer (librsvg's rsvg-convert) draws it: each value
// where its scale puts it, each fault in its own lane, COM3 closed and no traffic, run starts
// and verdict changes; streams cut short, with nulls and unknown fields, still drawn; a real
// relay's stream of a faulty chain checked interval by interval.
#include "farend/plot/plot.h"

#include <QImage>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QXmlStreamReader>
#include <QtTest>

#include <algorithm>
#include <cmath>
#include <sstream>

namespace {

const QColor kP50("#0072B2"), kP99("#E69F00"), kMax("#CC79A7");
const QColor kLost("#D55E00"), kChanged("#009E73"), kExtra("#56B4E9");
const QColor kClosed("#d9d9d9"), kHatch("#c8c8c8"), kRunLine("#555555"), kBlack("#000000");
constexpr double kReadWindowMs = 5.0;

plot::PlotResult plotted(const std::string &stream)
{
    std::istringstream in(stream);
    return plot::plotRun(in, plot::PlotOptions(kReadWindowMs));
}

QImage rendered(const std::string &svg)
{
    QTemporaryDir dir;
    QFile file(dir.filePath("plot.svg"));
    if (!file.open(QIODevice::WriteOnly) || file.write(svg.data(), svg.size()) != qint64(svg.size()))
        return {};
    file.close();
    QProcess rsvg;
    rsvg.setProcessChannelMode(QProcess::ForwardedChannels);
    rsvg.start("rsvg-convert", {"-o", dir.filePath("plot.png"), dir.filePath("plot.svg")});
    if (!rsvg.waitForFinished(60000) || rsvg.exitStatus() != QProcess::NormalExit ||
        rsvg.exitCode() != 0)
        return {};
    return QImage(dir.filePath("plot.png")).convertToFormat(QImage::Format_RGB32);
}

// The geometry's scales, worked out here and not taken from the plot's own code.
double xAt(const plot::PlotGeometry &g, double s)
{
    return g.left + (s - g.startS) / (g.endS - g.startS) * (g.right - g.left);
}

double yAt(const plot::PlotGeometry &g, double ms)
{
    return g.roundTrip.top + (std::log10(g.highMs) - std::log10(ms)) /
                                 (std::log10(g.highMs) - std::log10(g.lowMs)) *
                                 (g.roundTrip.bottom - g.roundTrip.top);
}

bool near(QColor a, QColor b)
{
    return std::abs(a.red() - b.red()) + std::abs(a.green() - b.green()) +
               std::abs(a.blue() - b.blue()) <= 60;
}

// Whether `colour` is drawn within `dx`, `dy` pixels of (x, y).
bool shows(const QImage &image, double x, double y, QColor colour, int dx = 2, int dy = 2)
{
    for (int j = -dy; j <= dy; ++j)
        for (int i = -dx; i <= dx; ++i) {
            const QPoint p(int(std::lround(x)) + i, int(std::lround(y)) + j);
            if (image.rect().contains(p) && near(image.pixelColor(p), colour))
                return true;
        }
    return false;
}

// Just above a lane's bottom, where a bar of any count reaches.
double inLane(const plot::PlotGeometry::Band &lane)
{
    return lane.bottom - 4;
}

// All character data of the SVG; empty when it is not well-formed XML.
QString svgText(const std::string &svg)
{
    QXmlStreamReader xml(QByteArray::fromStdString(svg));
    QString text;
    while (!xml.atEnd())
        if (xml.readNext() == QXmlStreamReader::Characters)
            text += xml.text().toString() + "\n";
    return xml.hasError() ? QString() : text;
}

std::string interval(double from, const std::string &rest)
{
    return "{\"type\":\"interval\",\"from_s\":" + std::to_string(from) +
           ",\"to_s\":" + std::to_string(from + 1) + "," + rest + "}\n";
}

std::string verdicts(std::initializer_list<const char *> codes)
{
    std::string s = "\"verdicts\":[";
    for (const char *c : codes)
        s += std::string(s.back() == '[' ? "" : ",") + "{\"code\":\"" + c + "\",\"figures\":{},\"text\":\"" +
             c + ": words\"}";
    return s + "]";
}

const std::string kTraffic = "\"to_chain\":100,\"from_chain\":100,\"sends\":100,\"com3_open\":true,";
const std::string kFast = "\"round_trip_ms\":{\"p50\":2.0,\"p99\":20,\"max\":500},";
const std::string kIdle = "\"to_chain\":0,\"from_chain\":0,\"sends\":0,\"round_trip_ms\":null,";
const std::string kTarget = "raw<&\\\"'>\\u0001:1";   // as JSON: raw<&"'>, a control byte, :1

} // namespace

class PlotTest : public QObject {
    Q_OBJECT
private slots:
    void textIsDrawnWithGlyphsNotBoxes();
    void aRunShowsEachValueFaultGapAndVerdictChangeWhereItBelongs();
    void aStreamCutShortWithNullsUnknownsAndTwoRelaysStillPlots();
    void whatIsNotAStreamIsRefusedWithAReason();
    void aRealRelaysStreamOfAFaultyChainIsDrawnIntervalByInterval();
};

// A face without the glyphs draws every character as the same box: the same ink for "iiii"
// and "WWWW".
void PlotTest::textIsDrawnWithGlyphsNotBoxes()
{
    auto ink = [](const char *text) {
        const QImage image = rendered(
            std::string("<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"200\" height=\"40\">"
                        "<rect width=\"200\" height=\"40\" fill=\"#fff\"/><text x=\"4\" y=\"28\" "
                        "font-family=\"sans-serif\" font-size=\"24\">") + text + "</text></svg>");
        int dark = 0;
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                dark += image.pixelColor(x, y).lightness() < 128;
        return dark;
    };
    const int thin = ink("iiii"), wide = ink("WWWW");
    QVERIFY2(thin > 0, "rsvg-convert drew nothing");
    QVERIFY2(wide > 2 * thin, qPrintable(QString("ink %1 and %2").arg(thin).arg(wide)));
}

void PlotTest::aRunShowsEachValueFaultGapAndVerdictChangeWhereItBelongs()
{
    const std::string stream =
        "{\"type\":\"start\",\"format\":3,\"link\":\"/tmp/t/COM3\",\"target\":\"" + kTarget +
        "\",\"target_kind\":\"raw TCP\",\"interval_s\":1.0,\"started\":\"2025-01-01T00:00:00Z\"}\n"
        "{\"type\":\"run\",\"run\":1,\"at_s\":0.0,\"settings\":\"9600 8N1\"}\n" +
        interval(0, kTraffic + kFast + "\"lost\":0," + verdicts({"late"})) +
        interval(1, kTraffic + kFast + "\"lost\":3," + verdicts({"lost", "late"})) +
        interval(2, kTraffic + kFast + "\"extra\":4," + verdicts({"extra"})) +
        interval(3, kIdle + "\"com3_open\":false," + verdicts({"idle"})) +
        interval(4, kIdle + "\"com3_open\":false," + verdicts({"idle"})) +
        "{\"type\":\"run\",\"run\":2,\"at_s\":5.3,\"settings\":\"9600 8N1\"}\n" +
        interval(5, kTraffic + "\"round_trip_ms\":{\"p50\":8,\"p99\":9,\"max\":10}," +
                        verdicts({"clean"})) +
        interval(6, kIdle + "\"com3_open\":true," + verdicts({"idle"})) +
        interval(7, kTraffic + "\"round_trip_ms\":{\"p50\":8,\"p99\":9,\"max\":10}," +
                        verdicts({"clean"})) +
        "{\"type\":\"tcp\",\"retransmits\":3}\n"
        "{\"type\":\"end\",\"elapsed_s\":8.0,\"runs\":2,\"sends\":500,\"echoed\":493,\"lost\":3,"
        "\"extra\":4,\"verdicts\":[{\"code\":\"lost\",\"text\":\"lost 3 </text><b>\"}]}\n";
    const plot::PlotResult r = plotted(stream);
    QVERIFY2(!r.error, r.error.text.c_str());
    const plot::PlotGeometry &g = r.geometry;
    QCOMPARE(g.columns, 8);
    // a change at 0, 1, 2 and 5 s; the idle interval at 6 s changes nothing, nor 7 s after it
    QCOMPARE(g.verdictChanges, 4);

    const QString text = svgText(r.svg);
    QVERIFY2(!text.isEmpty(), "not well-formed XML");
    QVERIFY(text.contains("raw<&\"'>\xEF\xBF\xBD:1"));
    QVERIFY(text.contains("lost 3 </text><b>"));

    const QImage image = rendered(r.svg);
    QVERIFY2(!image.isNull(), "rsvg-convert failed");
    for (double t : {0.5, 1.5, 2.5}) {
        QVERIFY2(shows(image, xAt(g, t), yAt(g, 2), kP50), qPrintable(QString::number(t)));
        QVERIFY(shows(image, xAt(g, t), yAt(g, 20), kP99));
        QVERIFY(shows(image, xAt(g, t), yAt(g, 500), kMax));
        QVERIFY(!shows(image, xAt(g, t), yAt(g, 8), kP50));
    }
    QVERIFY(shows(image, xAt(g, 5.5), yAt(g, 8), kP50));
    QVERIFY(!shows(image, xAt(g, 5.5), yAt(g, 2), kP50));
    QVERIFY2(shows(image, xAt(g, 3.5), yAt(g, 5), QColor("#505050"), 8, 1), "the read window's line");
    QVERIFY(!shows(image, xAt(g, 3.5), yAt(g, 6), QColor("#505050"), 8, 1));

    QVERIFY(shows(image, xAt(g, 1.5), inLane(g.lost), kLost, 0, 0));
    for (double t : {0.5, 2.5, 5.5})
        QVERIFY(!shows(image, xAt(g, t), inLane(g.lost), kLost, 4, 4));
    QVERIFY(shows(image, xAt(g, 2.5), inLane(g.extra), kExtra, 0, 0));
    QVERIFY(!shows(image, xAt(g, 1.5), inLane(g.extra), kExtra, 4, 4));
    QVERIFY(!shows(image, xAt(g, 1.5), inLane(g.changed), kChanged, 4, 4));

    // COM3 closed in 3 to 5 s: grey; open and idle in 6 to 7 s: hatched
    for (double t : {3.5, 4.5})
        QVERIFY(shows(image, xAt(g, t), yAt(g, 1.4), kClosed, 0, 0));
    QVERIFY(!shows(image, xAt(g, 2.5), yAt(g, 1.4), kClosed, 0, 0));
    QVERIFY(shows(image, xAt(g, 6.5), yAt(g, 1.4), kHatch, 6, 6));
    QVERIFY(shows(image, xAt(g, 6.5), yAt(g, 1.4), Qt::white, 6, 6));
    QVERIFY(!shows(image, xAt(g, 7.5), yAt(g, 1.4), kHatch, 6, 6));

    QVERIFY2(shows(image, xAt(g, 5.3), yAt(g, 1.4), kRunLine, 1, 0), "run 2's start");
    for (double t : {1.0, 2.0, 5.0})
        QVERIFY2(shows(image, xAt(g, t), g.verdictCodes.top - 5, kBlack, 1, 2),
                 qPrintable(QString("change at %1 s").arg(t)));
    for (double t : {3.0, 6.0, 7.0})
        QVERIFY(!shows(image, xAt(g, t), g.verdictCodes.top - 5, kBlack, 3, 2));

    // a row a verdict, in the order they first came, each drawn where it holds and nowhere else
    const QColor kStretch("#4d4d4d");
    const double row = (g.verdictCodes.bottom - g.verdictCodes.top) / 5;
    const std::vector<std::vector<double>> holds = {
        {0.5, 1.5}, {1.5}, {2.5}, {3.5, 4.5, 6.5}, {5.5, 7.5}};   // late lost extra idle clean
    for (std::size_t k = 0; k < holds.size(); ++k)
        for (double t = 0.5; t < 8; ++t) {
            const bool held = std::count(holds[k].begin(), holds[k].end(), t) > 0;
            QVERIFY2(shows(image, xAt(g, t), g.verdictCodes.top + (k + 0.5) * row, kStretch, 0,
                           0) == held,
                     qPrintable(QString("row %1 at %2 s").arg(k).arg(t)));
        }
}

void PlotTest::aStreamCutShortWithNullsUnknownsAndTwoRelaysStillPlots()
{
    const std::string stream =
        "{\"type\":\"start\",\"format\":3,\"target\":\"192.0.2.1:2001\",\"interval_s\":1}\n" +
        interval(0, kTraffic + "\"round_trip_ms\":{\"p50\":3,\"p99\":4,\"max\":4.5}," +
                        verdicts({"clean"})) +
        "{\"type\":\"end\",\"elapsed_s\":1.0,\"sends\":100,\"echoed\":100}\n"
        // a later format: nulls where nothing was reported, fields and records not known yet
        "{\"type\":\"start\",\"format\":4,\"link\":null,\"target\":\"192.0.2.1:2001\","
        "\"interval_s\":1,\"wall_clock\":\"2025-01-01T00:00:01+01:00\"}\n" +
        interval(0, "\"to_chain\":100,\"sends\":100,\"echoed\":null,\"lost\":null,\"retransmits\":2,"
                    "\"round_trip_ms\":{\"p50\":30,\"p99\":null,\"max\":null},"
                    "\"verdicts\":[{\"code\":\"late\",\"next_step\":\"look at the LAN\"}]") +
        "{\"type\":\"interval\",\"to_s\":2,\"lost\":2,\"round_trip_ms\":null,\"verdicts\":null,"
        "\"com3_open\":null,\"line_errors\":null}\n"
        "{\"type\":\"retransmissions\",\"count\":1}\n"
        "[1, 2, 3]\n"
        "{\"type\":\"interval\",\"from_s\":2,\"to_s\":3,\"round_trip_ms\":{\"p50\":30";
    const plot::PlotResult r = plotted(stream);
    QVERIFY2(!r.error, r.error.text.c_str());
    QCOMPARE(r.unreadLines, 2);
    const plot::PlotGeometry &g = r.geometry;
    QCOMPARE(g.columns, 3);
    QVERIFY(svgText(r.svg).contains("no end record"));

    const QImage image = rendered(r.svg);
    QVERIFY2(!image.isNull(), "rsvg-convert failed");
    QVERIFY(shows(image, xAt(g, 0.5), yAt(g, 3), kP50));
    // the second relay's intervals come after the first relay's second
    QVERIFY(shows(image, xAt(g, 1.5), yAt(g, 30), kP50));
    QVERIFY(!shows(image, xAt(g, 0.5), yAt(g, 30), kP50));
    QVERIFY(shows(image, xAt(g, 2.5), inLane(g.lost), kLost, 0, 0));
    QVERIFY(!shows(image, xAt(g, 1.5), inLane(g.lost), kLost, 4, 4));
}

void PlotTest::whatIsNotAStreamIsRefusedWithAReason()
{
    const plot::PlotResult empty = plotted("");
    QVERIFY(empty.svg.empty());
    QCOMPARE(empty.error.code, Errc::NoRecords);

    const std::string reportText = "{\n  \"format\": 3,\n  \"sends\": 10,\n  \"verdicts\": []\n}\n";
    const plot::PlotResult report = plotted(reportText);
    QVERIFY(report.svg.empty());
    QCOMPARE(report.error.code, Errc::NotAStream);

    const plot::PlotResult started = plotted("{\"type\":\"start\",\"format\":3}\n");
    QVERIFY(started.svg.empty());
    QCOMPARE(started.error.code, Errc::NoIntervals);

    // farend --plot says why in one line, exits with 2, and leaves no picture
    QTemporaryDir dir;
    QFile file(dir.filePath("report.json"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(reportText.c_str());
    file.close();
    QProcess farend;
    farend.start(FAREND_BINARY, {"--plot", file.fileName(), "-o", dir.filePath("run.svg")});
    QVERIFY(farend.waitForFinished(30000));
    QCOMPARE(farend.readAllStandardError(),
             "farend: " + QFile::encodeName(file.fileName()) + ": " + QByteArray(report.error.text.c_str()) +
                 "\n");
    QCOMPARE(farend.exitCode(), 2);
    QVERIFY(!QFileInfo::exists(dir.filePath("run.svg")));
}

// The relay on a chain whose far device corrupts three replies in ten (tests/support/chain.sh).
void PlotTest::aRealRelaysStreamOfAFaultyChainIsDrawnIntervalByInterval()
{
    QTemporaryDir dir;
    QProcess chain;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("BUILD", BUILD_DIR);
    chain.setProcessEnvironment(env);
    chain.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    chain.start(CHAIN_SCRIPT, {"--out", dir.path(), "--seconds", "3", "--rfc2217", "--",
                               FAREND_BINARY, "--port", "{}", "--corrupt", "30", "--seed", "1"});
    QVERIFY(chain.waitForFinished(120000));
    QCOMPARE(chain.exitCode(), 0);
    QFile file(dir.filePath("stream.jsonl"));
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray stream = file.readAll();

    const plot::PlotResult r = plotted(stream.toStdString());
    QVERIFY2(!r.error, r.error.text.c_str());
    const plot::PlotGeometry &g = r.geometry;
    // what farend --plot writes is that picture, and it is the one rendered
    QProcess farend;
    farend.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    farend.start(FAREND_BINARY, {"--plot", file.fileName()});
    QVERIFY(farend.waitForFinished(60000));
    QCOMPARE(farend.exitCode(), 0);
    const QByteArray svg = farend.readAllStandardOutput();
    QCOMPARE(svg, QByteArray::fromStdString(r.svg));
    const QImage image = rendered(svg.toStdString());
    QVERIFY2(!image.isNull(), "rsvg-convert failed");
    int checked = 0, changedSeen = 0;
    for (const QByteArray &line : stream.split('\n')) {
        const QJsonObject o = QJsonDocument::fromJson(line).object();
        if (o["type"] != "interval" || o["to_s"].toDouble() - o["from_s"].toDouble() < 0.5)
            continue;
        const double mid = (o["from_s"].toDouble() + o["to_s"].toDouble()) / 2;
        const QString at = QString("interval at %1 s").arg(mid);
        if (o["round_trip_ms"].isObject())
            QVERIFY2(shows(image, xAt(g, mid), yAt(g, o["round_trip_ms"]["p50"].toDouble()), kP50),
                     qPrintable(at));
        // a quarter in from each side too: the run's start line may cross the middle
        const auto barShown = [&](const plot::PlotGeometry::Band &lane, QColor colour) {
            const double from = o["from_s"].toDouble(), to = o["to_s"].toDouble();
            for (double s : {(3 * from + to) / 4, mid, (from + 3 * to) / 4})
                if (shows(image, xAt(g, s), inLane(lane), colour, 0, 0))
                    return true;
            return false;
        };
        QCOMPARE(barShown(g.changed, kChanged), o["changed"].toInt() > 0);
        QCOMPARE(barShown(g.lost, kLost), o["lost"].toInt() > 0);
        changedSeen += o["changed"].toInt() > 0;
        ++checked;
    }
    QVERIFY(checked >= 3);
    QVERIFY2(changedSeen > 0, "the far device changed nothing");
}

QTEST_GUILESS_MAIN(PlotTest)
#include "test_plot.moc"
