#pragma once
// Helpers for the tag and PDF information tests: a hand-made PDF, and the outside tools
// (getfattr, pdfinfo, qpdf) that check what the code wrote.

#include <QByteArray>
#include <QFile>
#include <QMap>
#include <QProcess>
#include <QString>
#include <QStringList>

namespace MetaTestSupport {

/// Output of a tool run; `exitCode` is -1 when the tool could not be started.
struct ToolRun {
    int exitCode = -1;
    QString out;
    QString err;
};

inline ToolRun runTool(const QString &program, const QStringList &args)
{
    QProcess p;
    p.start(program, args);
    ToolRun run;
    if (!p.waitForStarted(10000))
        return run;
    p.waitForFinished(30000);
    run.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    run.out = QString::fromUtf8(p.readAllStandardOutput());
    run.err = QString::fromUtf8(p.readAllStandardError());
    return run;
}

/// A one-page PDF whose Info dictionary holds `infoEntries` (PDF source text such as
/// "/Producer (Hand) /Keywords (a, b)"); cross-reference offsets are computed so that
/// strict readers accept it.
inline QByteArray onePagePdf(const QByteArray &infoEntries)
{
    const QByteArray content = "BT /F1 12 Tf 72 720 Td (Hello) Tj ET";
    const QList<QByteArray> objects = {
        "<< /Type /Catalog /Pages 2 0 R >>",
        "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
        "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Contents 4 0 R "
        "/Resources << /Font << /F1 5 0 R >> >> >>",
        "<< /Length " + QByteArray::number(content.size()) + " >>\nstream\n" + content + "\nendstream",
        "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>",
        "<< " + infoEntries + " >>",
    };
    QByteArray pdf = "%PDF-1.4\n";
    QList<qsizetype> offsets;
    for (int i = 0; i < objects.size(); ++i) {
        offsets.append(pdf.size());
        pdf += QByteArray::number(i + 1) + " 0 obj\n" + objects[i] + "\nendobj\n";
    }
    const qsizetype xref = pdf.size();
    pdf += "xref\n0 " + QByteArray::number(objects.size() + 1) + "\n0000000000 65535 f \n";
    for (qsizetype off : offsets)
        pdf += QByteArray::number(off).rightJustified(10, '0') + " 00000 n \n";
    pdf += "trailer\n<< /Size " + QByteArray::number(objects.size() + 1) + " /Root 1 0 R /Info 6 0 R >>\n";
    pdf += "startxref\n" + QByteArray::number(xref) + "\n%%EOF\n";
    return pdf;
}

inline bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

inline QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

/// pdfinfo's "Key: value" lines (ISO dates), keyed by entry name.
inline QMap<QString, QString> pdfinfo(const QString &path)
{
    QMap<QString, QString> out;
    const ToolRun run = runTool(QStringLiteral("pdfinfo"), {QStringLiteral("-isodates"), path});
    for (const QString &line : run.out.split(u'\n', Qt::SkipEmptyParts)) {
        const qsizetype colon = line.indexOf(u':');
        if (colon > 0)
            out.insert(line.left(colon), line.mid(colon + 1).trimmed());
    }
    return out;
}

/// The user attributes of `path` as getfattr -d prints them (name -> quoted value), the
/// link itself for a symbolic link.
inline QMap<QString, QString> getfattr(const QString &path)
{
    QMap<QString, QString> out;
    const ToolRun run = runTool(QStringLiteral("getfattr"),
                                {QStringLiteral("-d"), QStringLiteral("-h"), QStringLiteral("--absolute-names"), path});
    for (const QString &line : run.out.split(u'\n', Qt::SkipEmptyParts)) {
        if (line.startsWith(u'#'))
            continue;
        const qsizetype eq = line.indexOf(u'=');
        if (eq > 0)
            out.insert(line.left(eq), line.mid(eq + 1));
    }
    return out;
}

/// The text of user.xdg.tags as getfattr prints it, without its quotes; null when absent.
inline QString xdgTags(const QString &path)
{
    const QMap<QString, QString> attrs = getfattr(path);
    if (!attrs.contains(QStringLiteral("user.xdg.tags")))
        return {};
    QString v = attrs.value(QStringLiteral("user.xdg.tags"));
    if (v.size() >= 2 && v.startsWith(u'"') && v.endsWith(u'"'))
        v = v.mid(1, v.size() - 2);
    return v;
}

} // namespace MetaTestSupport
