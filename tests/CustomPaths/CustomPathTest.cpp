#include "CustomPaths/CustomPath.h"

#include "Settings/Preferences.h"

#include <QTextBoundaryFinder>
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <tuple>
#include <vector>

using namespace Qt::Literals::StringLiterals;

namespace {

const QDateTime kSample = QDateTime::fromSecsSinceEpoch(1390032980, Qt::UTC); // 2014-01-18 08:16:20

std::string str(const QString &s) { return s.toStdString(); }

QString expand(const QString &format, const QDateTime &date = kSample)
{
    return CustomPath::substituteFormat(format, date, {}, {}, {}, {}, {}, {});
}

class CustomPathTest : public ::testing::Test {
protected:
    void SetUp() override { Preferences::shared().removePersistentDomain(); }
};

enum Arg { Subject, From, To, EmailFrom, EmailTo, File };

TEST_F(CustomPathTest, ExpandsFormats)
{
    // Each row overrides one argument of a message from Smith <a@x.org> to Doe <b@y.org>.
    const std::tuple<QString, Arg, QString, QString> rows[] = {
        {"%Y/TZ__%m", Subject, "", "01"},
        {"5.5TZ__%H:%M", Subject, "", "13:46"},
        {"%% %B %p %D", Subject, "", "% January AM 01/18/14"},
        {"__subject__", Subject, "Re: a/b", "Re  a b"},
        {"__subject__", Subject, ". . .hidden.", " . .hidden"},
        {"__subject__", Subject, "one\r\ntwo\tthree \t four", "onetwo three  four"},
        {"__toLast__", To, "\nDo\ne\n", "Do e"},
        {"__filename__", File, "O\\Brien\tb.txt", "O Brien\tb.txt"},
        {"__subject__", Subject, "Cafe\u0301", "Caf\u00e9"},
        {"__subject__", Subject, u"a\xD800"_s, "..not found.."},
        {"x__subject__", Subject, "", "x"},
        {"__subject__", Subject, "100%Y __toLast__", "100%Y Doe"},
        {"__toLast_____subject__", Subject, "S", "Doe_S"},
        {"__fromLast__", From, "__subject__", "__subject__"},
        {"__emailFrom__/x", EmailFrom, "a/b@x", "a/b@x/x"},
        {"__emailFrom__", EmailFrom, "../../etc", "__/__/etc"},
        {"./%Y/../x", Subject, "", "_/2014/__/x"},
        {"/%Y//__emailTo__/", EmailTo, "/b@y", "2014/b@y"},
        {".../ ../x", Subject, "", ".../ ../x"},
    };
    for (const auto &[format, arg, value, expected] : rows) {
        QString a[] = {"Subj", "Smith", "Doe", "a@x.org", "b@y.org", ""};
        a[arg] = value;
        EXPECT_EQ(str(CustomPath::substituteFormat(format, kSample, a[0], a[1], a[2], a[3], a[4], a[5])),
                  str(expected))
            << str(format);
    }

    // An absent date is 1970; seconds are truncated toward zero, not floored or rounded.
    const std::pair<QDateTime, const char *> dates[] = {{QDateTime(), "1970-01-01 00:00:00"},
        {QDateTime::fromMSecsSinceEpoch(-1500, Qt::UTC), "1969-12-31 23:59:59"},
        {QDateTime::fromMSecsSinceEpoch(1999, Qt::UTC), "1970-01-01 00:00:01"}};
    for (const auto &[date, expected] : dates)
        EXPECT_EQ(str(expand("%F %T", date)), expected);
}

TEST_F(CustomPathTest, PreviewsBuiltInChoices)
{
    const std::pair<QString, const char *> rows[] = {
        {CustomPath::pdfFormats()[0], "2014/01/2014-01-18 08.16.20Z  Typical Email Subject.pdf"},
        {CustomPath::pdfFormats()[2], "2014/2014-01-18 04.16.20  Typical Email Subject.pdf"},
        {CustomPath::attachmentFormats()[0],
         "2014/01/2014-01-18 08.16.20Z  Typical Email Subject (attachments)/My Great Word Doc.docx"},
        {CustomPath::emlFormats()[1], "2014/01/2014-01-18 08.16.20  Typical Email Subject.eml"},
        {CustomPath::pdfFormats()[3], "2014-01-18_081620 Smith-Doe_Typical Email Subject.pdf"},
        {CustomPath::attachmentFormats()[4], "2014-01-18_081620_My Great Word Doc.docx"},
        {CustomPath::emlFormats()[0], ""},
    };
    for (const auto &[format, preview] : rows)
        EXPECT_EQ(str(CustomPath::getExample(format)), preview) << str(format);

    EXPECT_EQ(CustomPath::exampleToFormatString(rows[0].second), CustomPath::defaultFormat("pdf"));
    EXPECT_EQ(CustomPath::exampleToFormatString("no such preview"), QString());
    // In UTC several choices share a preview; the reverse lookup must still name one of them.
    for (const QStringList &list : {CustomPath::pdfExamples(), CustomPath::attachmentExamples(), CustomPath::emlExamples()})
        for (const QString &example : list)
            EXPECT_EQ(str(CustomPath::getExample(CustomPath::exampleToFormatString(example))), str(example));
}

TEST_F(CustomPathTest, LocalZoneFollowsDaylightSavingOfTheInstant)
{
    struct RestoreUtc {
        ~RestoreUtc() { setenv("TZ", "UTC", 1); tzset(); }
    } restore;
    setenv("TZ", "EST5EDT,M3.2.0,M11.1.0", 1);
    const QDateTime july = kSample.addDays(181);
    EXPECT_EQ(str(expand("localTZ__%H:%M %Z")), "03:16 EST");
    EXPECT_EQ(str(expand("localTZ__%H:%M %Z", july)), "04:16 EDT");
    EXPECT_EQ(str(expand("%H:%M", july)), "08:16");
}

TEST_F(CustomPathTest, CutsOverLongDateConversionAtAWholeCharacter)
{
    // 499 bytes are kept; the 499th byte of the second format falls inside an "é".
    EXPECT_EQ(str(expand(u"a/"_s.repeated(300))), str(QStringList(250, "a").join('/')));
    EXPECT_EQ(str(expand(u"\u00e9/"_s.repeated(200))), str(QStringList(166, u"\u00e9"_s).join('/')));
}

TEST_F(CustomPathTest, ShortensLongComponentsByBytesBetweenWholeCharacters)
{
    // Subject, whether it is shortened. A shortened name is the subject's first and last
    // whole characters (at most 116 bytes and 100 UTF-16 units each) around "…".
    const std::pair<QString, bool> rows[] = {
        {u"s"_s.repeated(198), false},                     // 202 units: as it is
        {u"s"_s.repeated(199), true},                      // 203 units: the cut names had before
        {u"f"_s.repeated(150) + u"l"_s.repeated(150), true},
        {u"\u00e9"_s.repeated(102), false},                // 208 bytes, composed
        {u"e\u0301"_s.repeated(120), true},                // decomposed input, composed output
        {u"\uac00"_s.repeated(77), false},                 // Korean, 231 bytes + ".pdf"
        {u"\uac00"_s.repeated(78), true},                  // Korean, 234 bytes + ".pdf"
        {u"\u6f22\u5b57"_s.repeated(100), true},           // CJK, 600 bytes
        {u"\U0001F600"_s.repeated(60), true},              // emoji, 4 bytes each
        {u"\U0001F469\u200D\U0001F4BB"_s.repeated(30), true}, // emoji sequences: never split
        {u"q\u0303"_s.repeated(90), true},                 // no composed form: pairs stay together
        {u"Gr\u00fc\u00dfe \u6f22 \U0001F600 "_s.repeated(20) + u"end"_s, true},
    };
    for (const auto &[subject, shortened] : rows) {
        const QString path = CustomPath::substituteFormat("__subject__.pdf", kSample, subject, {}, {}, {}, {}, {});
        const QString name = subject.normalized(QString::NormalizationForm_C) + ".pdf";
        const QByteArray bytes = path.toUtf8();
        SCOPED_TRACE(str(subject.left(20)));
        EXPECT_EQ(QString::fromUtf8(bytes), path); // whole code points only
        EXPECT_LE(bytes.size(), CustomPath::kMaxComponentBytes);
        EXPECT_LE(bytes.size() + qsizetype(sizeof(".XXXXXX")), 255); // an atomic save's temporary name
        EXPECT_EQ(path.contains(QChar(0x2026)), shortened);
        if (!shortened) {
            EXPECT_EQ(path, name);
            continue;
        }
        const qsizetype mark = path.indexOf(QChar(0x2026));
        const QString head = path.left(mark);
        const QString tail = path.mid(mark + 1);
        EXPECT_TRUE(name.startsWith(head));
        EXPECT_TRUE(name.endsWith(tail));
        EXPECT_TRUE(tail.endsWith(".pdf"));
        EXPECT_LE(head.toUtf8().size(), 116);
        EXPECT_LE(tail.toUtf8().size(), 116);
        QTextBoundaryFinder atHead(QTextBoundaryFinder::Grapheme, name);
        atHead.setPosition(head.size());
        EXPECT_TRUE(atHead.isAtBoundary());
        QTextBoundaryFinder atTail(QTextBoundaryFinder::Grapheme, name);
        atTail.setPosition(name.size() - tail.size());
        EXPECT_TRUE(atTail.isAtBoundary());
    }
    // ASCII keeps the cut that archives made before bytes were counted.
    const QString ascii = CustomPath::substituteFormat("__subject__.pdf", kSample, u"s"_s.repeated(300), {}, {}, {}, {}, {});
    EXPECT_EQ(ascii, u"s"_s.repeated(100) + QChar(0x2026) + u"s"_s.repeated(96) + ".pdf");
}

TEST_F(CustomPathTest, CleansPathComponentParts)
{
    const std::tuple<QString, bool, QString> rows[] = {
        {"a/b:c", false, "a/b c"},
        {":", true, ""},
        {u"\u00a0\u2028\u0085\t\v x \u3000\r\n"_s, true, "x"},
        {u"\u200bx\ty"_s, true, u"\u200bx\ty"_s},
        {". x .", true, " x "},
        {"\\x\\", true, " x "},
        {u"x\U0001F600"_s, true, u"x\U0001F600"_s},
        {u"\xDE00x"_s, true, "..not found.."},
    };
    for (const auto &[text, removeSlash, expected] : rows)
        EXPECT_EQ(str(CustomPath::sanitizePathComponentPart(text, removeSlash)), str(expected)) << str(text);
}

TEST_F(CustomPathTest, SplitsTheZonePrefix)
{
    const std::tuple<QString, QString, qint64> rows[] = {
        {"%Y", "%Y", CustomPath::kNoZonePrefix},
        {"localTZ__%H", "%H", CustomPath::kLocalZone},
        {"xlocalTZ__", "", 0},
        {"-4TZ__x", "x", -14400},
        {" +5.5TZ__", "", 19800},
        {"1e1TZ__", "", 36000},
        {"-0.0001TZ__", "", 0},
        {"1TZ__2TZ__", "2TZ__", 3600},
    };
    for (const auto &[format, rest, code] : rows) {
        qint64 zone = -1;
        EXPECT_EQ(str(CustomPath::timeZoneAdjust(format, &zone)), str(rest)) << str(format);
        EXPECT_EQ(zone, code) << str(format);
    }
}

// 'w' writes the raw entry, 's' calls setFormat, 'c' clearFormat, '=' expects getFormat
// (no value: the kind's default), '+' and '-' expect the entry to exist or not.
struct Step {
    char op;
    const char *kind, *account, *value = nullptr;
};

TEST_F(CustomPathTest, LooksUpStoresAndClearsWithInheritance)
{
    const std::vector<std::vector<Step>> scenarios = {
        {{'=', "pdf", "src"}, {'=', "eml", "src", ""}, {'=', "attachment", ""}, {'=', "", "src", "n/a"}},
        {{'s', "pdf", "General", "G"}, {'=', "pdf", "src", "G"}, {'=', "pdf", "", "G"}, {'c', "pdf", "General"},
         {'=', "pdf", "src"}},
        {{'s', "pdf", "General", "G"}, {'s', "pdf", "src", "G"}, {'-', "pdf", "src"}, {'s', "pdf", "General", "H"},
         {'=', "pdf", "src", "H"}, {'s', "attachment", "General"}, {'-', "attachment", "General"}},
        {{'s', "pdf", "General", "G"}, {'s', "pdf", "src", "S"}, {'+', "pdf", "src"}, {'=', "pdf", "src", "S"},
         {'=', "pdf", "other", "G"},
         {'=', "pdf", "General", "G"}, {'=', "eml", "src", ""}, {'c', "pdf", "src"}, {'=', "pdf", "src", "G"}},
        {{'w', "pdf", "src", ""}, {'w', "pdf", "General", "G"}, {'=', "pdf", "src", "G"},
         {'w', "attachment", "General", ""}, {'=', "attachment", "src"}, {'w', "eml", "src", "none"},
         {'=', "eml", "src", "none"}},
    };
    Preferences &prefs = Preferences::shared();
    for (const std::vector<Step> &steps : scenarios) {
        prefs.removePersistentDomain();
        for (const Step &s : steps) {
            const QString kind = s.kind, account = s.account;
            const QString value = s.value ? QString(s.value) : CustomPath::defaultFormat(kind);
            switch (s.op) {
            case 'w': prefs.setValue(account + kind, value); break;
            case 's': CustomPath::setFormat(kind, account, value); break;
            case 'c': CustomPath::clearFormat(kind, account); break;
            case '=': EXPECT_EQ(str(CustomPath::getFormat(kind, account)), str(value)) << s.kind << s.account; break;
            default: EXPECT_EQ(prefs.hasStoredValue(account + kind), s.op == '+') << s.kind << s.account;
            }
        }
    }
}

} // namespace
