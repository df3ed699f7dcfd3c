#include "reports/DocxReader.h"

#include <QFile>
#include <QXmlStreamReader>

#include <zip.h>

#include <optional>

namespace qst::test {

namespace {

const QString kW = QStringLiteral("http://schemas.openxmlformats.org/wordprocessingml/2006/main");
const QString kR = QStringLiteral("http://schemas.openxmlformats.org/officeDocument/2006/relationships");
const QString kWp = QStringLiteral("http://schemas.openxmlformats.org/drawingml/2006/wordprocessingDrawing");
const QString kA = QStringLiteral("http://schemas.openxmlformats.org/drawingml/2006/main");

// The zip package opened from memory.
class Package
{
public:
    explicit Package(const QByteArray &bytes)
        : m_bytes(bytes)
    {
        zip_error_t error;
        zip_error_init(&error);
        zip_source_t *source = zip_source_buffer_create(m_bytes.constData(), zip_uint64_t(m_bytes.size()), 0, &error);
        if (!source)
            return;
        m_zip = zip_open_from_source(source, ZIP_RDONLY | ZIP_CHECKCONS, &error);
        if (!m_zip)
            zip_source_free(source);
    }
    ~Package()
    {
        if (m_zip)
            zip_discard(m_zip);
    }
    Package(const Package &) = delete;
    Package &operator=(const Package &) = delete;

    bool IsOpen() const { return m_zip != nullptr; }

    QStringList Names() const
    {
        QStringList names;
        const zip_int64_t n = zip_get_num_entries(m_zip, 0);
        for (zip_int64_t i = 0; i < n; ++i)
            names.append(QString::fromUtf8(zip_get_name(m_zip, zip_uint64_t(i), 0)));
        return names;
    }

    QByteArray Part(const QString &name) const
    {
        const QByteArray utf8 = name.toUtf8();
        zip_stat_t st;
        if (zip_stat(m_zip, utf8.constData(), 0, &st) != 0 || !(st.valid & ZIP_STAT_SIZE))
            return {};
        zip_file_t *file = zip_fopen(m_zip, utf8.constData(), 0);
        if (!file)
            return {};
        QByteArray data(qsizetype(st.size), Qt::Uninitialized);
        const zip_int64_t got = zip_fread(file, data.data(), st.size);
        zip_fclose(file);
        if (got != zip_int64_t(st.size))
            return {};
        return data;
    }

private:
    QByteArray m_bytes;
    zip_t *m_zip = nullptr;
};

double Attr(const QXmlStreamReader &x, const QString &name, double fallback = 0)
{
    const auto attrs = x.attributes();
    for (const QXmlStreamAttribute &a : attrs)
        if (a.name() == name)
            return a.value().toDouble();
    return fallback;
}

QString AttrText(const QXmlStreamReader &x, const QString &name)
{
    const auto attrs = x.attributes();
    for (const QXmlStreamAttribute &a : attrs)
        if (a.name() == name)
            return a.value().toString();
    return {};
}

bool HasAttr(const QXmlStreamReader &x, const QString &name)
{
    const auto attrs = x.attributes();
    for (const QXmlStreamAttribute &a : attrs)
        if (a.name() == name)
            return true;
    return false;
}

bool IsW(const QXmlStreamReader &x, const char *name)
{
    return x.namespaceUri() == kW && x.name() == QLatin1String(name);
}

struct ParsedParagraph
{
    QString text;
    int alignment = 0;
    double spaceAfter = -1;
    double fontSize = 0;
    bool pageBreak = false;
};

// What a paragraph style sets; unset values come from the style it is based on.
struct StyleProps
{
    QString basedOn;
    std::optional<int> alignment;
    std::optional<double> spaceAfter;
    std::optional<double> fontSize;
};

using StyleMap = QMap<QString, StyleProps>;

template <typename T>
std::optional<T> FromStyle(const StyleMap &styles, QString id, std::optional<T> StyleProps::*member)
{
    for (int guard = 0; guard < 16 && styles.contains(id); ++guard) {
        const StyleProps &s = styles[id];
        if (s.*member)
            return s.*member;
        id = s.basedOn;
    }
    return std::nullopt;
}

int Alignment(QStringView jc)
{
    return jc == QLatin1String("center") ? 1 : 0;
}

StyleMap ReadStyles(const QByteArray &xml)
{
    StyleMap styles;
    QXmlStreamReader x(xml);
    QString id;
    bool inRunPr = false;
    while (!x.atEnd()) {
        x.readNext();
        if (x.isStartElement()) {
            if (IsW(x, "style")) {
                id = AttrText(x, QStringLiteral("type")) == QLatin1String("paragraph")
                    ? AttrText(x, QStringLiteral("styleId"))
                    : QString();
                if (!id.isEmpty())
                    styles.insert(id, StyleProps {});
            } else if (id.isEmpty()) {
                continue;
            } else if (IsW(x, "basedOn")) {
                styles[id].basedOn = AttrText(x, QStringLiteral("val"));
            } else if (IsW(x, "jc")) {
                styles[id].alignment = Alignment(AttrText(x, QStringLiteral("val")));
            } else if (IsW(x, "spacing") && HasAttr(x, QStringLiteral("after"))) {
                styles[id].spaceAfter = Attr(x, QStringLiteral("after")) / 20.0;
            } else if (IsW(x, "rPr")) {
                inRunPr = true;
            } else if (inRunPr && IsW(x, "sz")) {
                styles[id].fontSize = Attr(x, QStringLiteral("val")) / 2.0;
            }
        } else if (x.isEndElement()) {
            if (IsW(x, "style"))
                id.clear();
            else if (IsW(x, "rPr"))
                inRunPr = false;
        }
    }
    return styles;
}

// Reads a w:p from its start element to its end; settings not made on the paragraph come from its style.
ParsedParagraph ReadParagraph(QXmlStreamReader &x, const StyleMap &styles)
{
    ParsedParagraph p;
    QString style;
    std::optional<int> alignment;
    std::optional<double> spaceAfter;
    std::optional<double> firstRunSize;
    bool inPPr = false, inRun = false, inRunPr = false, firstRun = true;
    int depth = 1;
    while (depth > 0 && !x.atEnd()) {
        x.readNext();
        if (x.isStartElement()) {
            ++depth;
            if (IsW(x, "pPr")) {
                inPPr = true;
            } else if (inPPr && IsW(x, "pStyle")) {
                style = AttrText(x, QStringLiteral("val"));
            } else if (inPPr && IsW(x, "pageBreakBefore")) {
                p.pageBreak = true;
            } else if (inPPr && IsW(x, "jc")) {
                alignment = Alignment(AttrText(x, QStringLiteral("val")));
            } else if (inPPr && IsW(x, "spacing") && HasAttr(x, QStringLiteral("after"))) {
                spaceAfter = Attr(x, QStringLiteral("after")) / 20.0;
            } else if (IsW(x, "r") && !inPPr) {
                inRun = true;
            } else if (inRun && IsW(x, "rPr")) {
                inRunPr = true;
            } else if (inRunPr && firstRun && IsW(x, "sz")) {
                firstRunSize = Attr(x, QStringLiteral("val")) / 2.0;
            } else if (inRun && IsW(x, "t")) {
                p.text += x.readElementText();
                --depth;
            } else if (inRun && IsW(x, "br")) {
                if (AttrText(x, QStringLiteral("type")) == QLatin1String("page"))
                    p.pageBreak = true;
                else
                    p.text += u'\n';
            } else if (inRun && IsW(x, "tab")) {
                p.text += u'\t';
            }
        } else if (x.isEndElement()) {
            --depth;
            if (IsW(x, "pPr")) {
                inPPr = false;
            } else if (IsW(x, "r") && !inPPr) {
                if (firstRun && !firstRunSize)
                    firstRunSize = FromStyle(styles, style, &StyleProps::fontSize);
                inRun = false;
                firstRun = false;
            } else if (IsW(x, "rPr") && inRun) {
                inRunPr = false;
            }
        }
    }
    p.alignment = alignment.value_or(FromStyle(styles, style, &StyleProps::alignment).value_or(0));
    p.spaceAfter = spaceAfter.value_or(FromStyle(styles, style, &StyleProps::spaceAfter).value_or(-1));
    p.fontSize = firstRunSize.value_or(0);
    return p;
}

bool BordersSingle(QXmlStreamReader &x)
{
    // Inside w:tblBorders: all six sides single.
    QStringList single;
    int depth = 1;
    while (depth > 0 && !x.atEnd()) {
        x.readNext();
        if (x.isStartElement()) {
            ++depth;
            if (x.namespaceUri() == kW && AttrText(x, QStringLiteral("val")) == QLatin1String("single"))
                single.append(x.name().toString());
        } else if (x.isEndElement()) {
            --depth;
        }
    }
    for (const char *side : { "top", "bottom", "insideH", "insideV" })
        if (!single.contains(QLatin1String(side)))
            return false;
    return (single.contains(QStringLiteral("left")) || single.contains(QStringLiteral("start")))
        && (single.contains(QStringLiteral("right")) || single.contains(QStringLiteral("end")));
}

DocxTable ReadTable(QXmlStreamReader &x, const StyleMap &styles)
{
    DocxTable t;
    DocxRow row;
    DocxCell cell;
    bool inCell = false, inRow = false;
    int depth = 1;
    while (depth > 0 && !x.atEnd()) {
        x.readNext();
        if (x.isStartElement()) {
            ++depth;
            if (IsW(x, "tbl")) {
                // A nested table is not part of the model: skip it whole.
                x.skipCurrentElement();
                --depth;
            } else if (IsW(x, "tblBorders")) {
                t.bordered = BordersSingle(x);
                --depth;
            } else if (IsW(x, "gridCol")) {
                t.gridWidths.append(Attr(x, QStringLiteral("w")) / 20.0);
            } else if (IsW(x, "tr")) {
                row = DocxRow {};
                inRow = true;
            } else if (inRow && !inCell && IsW(x, "trHeight")) {
                if (AttrText(x, QStringLiteral("hRule")) == QLatin1String("exact"))
                    row.exactHeight = Attr(x, QStringLiteral("val")) / 20.0;
                else if (AttrText(x, QStringLiteral("hRule")) == QLatin1String("atLeast"))
                    row.minHeight = Attr(x, QStringLiteral("val")) / 20.0;
            } else if (inRow && !inCell && IsW(x, "cantSplit")) {
                row.cantSplit = AttrText(x, QStringLiteral("val")) != QLatin1String("0");
            } else if (inRow && !inCell && IsW(x, "tblHeader")) {
                row.heading = AttrText(x, QStringLiteral("val")) != QLatin1String("0");
            } else if (IsW(x, "tc")) {
                cell = DocxCell {};
                inCell = true;
            } else if (inCell && IsW(x, "gridSpan")) {
                cell.gridSpan = int(Attr(x, QStringLiteral("val"), 1));
            } else if (inCell && IsW(x, "vMerge")) {
                const QString v = AttrText(x, QStringLiteral("val"));
                cell.vMerge = v.isEmpty() ? QStringLiteral("continue") : v;
            } else if (inCell && IsW(x, "p")) {
                const ParsedParagraph p = ReadParagraph(x, styles);
                --depth;
                if (cell.paragraphs.isEmpty()) {
                    cell.alignment = p.alignment;
                    cell.fontSize = p.fontSize;
                } else if (cell.fontSize == 0) {
                    cell.fontSize = p.fontSize;
                }
                cell.paragraphs.append(p.text);
            }
        } else if (x.isEndElement()) {
            --depth;
            if (IsW(x, "tc")) {
                row.cells.append(cell);
                inCell = false;
            } else if (IsW(x, "tr")) {
                t.rows.append(row);
                inRow = false;
            }
        }
    }
    return t;
}

// Relationship id -> target of a .rels part.
QMap<QString, QString> ReadRels(const QByteArray &xml)
{
    QMap<QString, QString> rels;
    QXmlStreamReader x(xml);
    while (!x.atEnd()) {
        x.readNext();
        if (x.isStartElement() && x.name() == QLatin1String("Relationship"))
            rels.insert(AttrText(x, QStringLiteral("Id")), AttrText(x, QStringLiteral("Target")));
    }
    return rels;
}

// The target of the first relationship whose type ends in typeSuffix.
QString TargetOfType(const QByteArray &relsXml, const char *typeSuffix)
{
    QXmlStreamReader x(relsXml);
    while (!x.atEnd()) {
        x.readNext();
        if (x.isStartElement() && x.name() == QLatin1String("Relationship")
            && AttrText(x, QStringLiteral("Type")).endsWith(QLatin1String(typeSuffix)))
            return AttrText(x, QStringLiteral("Target"));
    }
    return {};
}

QString Resolve(const QString &base, const QString &target)
{
    if (target.startsWith(u'/'))
        return target.mid(1);
    QStringList path = base.split(u'/');
    path.removeLast();
    for (const QString &piece : target.split(u'/')) {
        if (piece == QLatin1String(".."))
            path.removeLast();
        else if (piece != QLatin1String("."))
            path.append(piece);
    }
    return path.join(u'/');
}

void ReadHeaderPicture(const Package &pkg, const QString &headerPart, DocxDocument &doc)
{
    const QByteArray xml = pkg.Part(headerPart);
    const QString relsName = Resolve(headerPart, QStringLiteral("_rels/")) + headerPart.section(u'/', -1) + ".rels";
    const QMap<QString, QString> rels = ReadRels(pkg.Part(relsName));
    QXmlStreamReader x(xml);
    QString axis;
    while (!x.atEnd()) {
        x.readNext();
        if (!x.isStartElement())
            continue;
        if (x.namespaceUri() == kWp && x.name() == QLatin1String("anchor")) {
            doc.headerPicture = true;
            doc.pictureBehindText = AttrText(x, QStringLiteral("behindDoc")) == QLatin1String("1")
                || AttrText(x, QStringLiteral("behindDoc")) == QLatin1String("true");
        } else if (x.namespaceUri() == kWp && x.name() == QLatin1String("positionH")) {
            axis = QStringLiteral("h");
        } else if (x.namespaceUri() == kWp && x.name() == QLatin1String("positionV")) {
            axis = QStringLiteral("v");
        } else if (x.namespaceUri() == kWp && x.name() == QLatin1String("posOffset")) {
            const double v = x.readElementText().toDouble() / 12700.0;
            (axis == QLatin1String("h") ? doc.pictureLeft : doc.pictureTop) = v;
        } else if (x.namespaceUri() == kWp && x.name() == QLatin1String("extent")) {
            doc.pictureWidth = Attr(x, QStringLiteral("cx")) / 12700.0;
            doc.pictureHeight = Attr(x, QStringLiteral("cy")) / 12700.0;
        } else if (x.namespaceUri() == kA && x.name() == QLatin1String("blip")) {
            for (const QXmlStreamAttribute &a : x.attributes())
                if (a.namespaceUri() == kR && a.name() == QLatin1String("embed"))
                    doc.pictureBytes = pkg.Part(Resolve(headerPart, rels.value(a.value().toString())));
        }
    }
}

} // namespace

QList<const DocxTable *> DocxDocument::Tables() const
{
    QList<const DocxTable *> tables;
    for (const DocxBlock &b : blocks)
        if (b.isTable)
            tables.append(&b.table);
    return tables;
}

QByteArray ReadZipPart(const QByteArray &docxBytes, const QString &partName)
{
    Package pkg(docxBytes);
    return pkg.IsOpen() ? pkg.Part(partName) : QByteArray();
}

DocxDocument ReadDocx(const QByteArray &docxBytes)
{
    DocxDocument doc;
    Package pkg(docxBytes);
    if (!pkg.IsOpen()) {
        doc.error = QStringLiteral("not a zip package");
        return doc;
    }
    doc.parts = pkg.Names();

    // The main part is found through the package relationships.
    QString mainPart;
    {
        QXmlStreamReader x(pkg.Part(QStringLiteral("_rels/.rels")));
        while (!x.atEnd()) {
            x.readNext();
            if (x.isStartElement() && x.name() == QLatin1String("Relationship")
                && AttrText(x, QStringLiteral("Type")).endsWith(QLatin1String("/officeDocument")))
                mainPart = Resolve(QString(), AttrText(x, QStringLiteral("Target")));
        }
    }
    const QByteArray main = mainPart.isEmpty() ? QByteArray() : pkg.Part(mainPart);
    if (main.isEmpty()) {
        doc.error = QStringLiteral("no main document part");
        return doc;
    }

    const QString relsPart = Resolve(mainPart, QStringLiteral("_rels/")) + mainPart.section(u'/', -1) + ".rels";
    const QByteArray relsXml = pkg.Part(relsPart);
    const StyleMap styles = ReadStyles(pkg.Part(Resolve(mainPart, TargetOfType(relsXml, "/styles"))));

    QXmlStreamReader x(main);
    QString headerId;
    while (!x.atEnd()) {
        x.readNext();
        if (!x.isStartElement())
            continue;
        if (IsW(x, "body")) {
            // Direct children of the body.
            while (!x.atEnd()) {
                x.readNext();
                if (x.isEndElement() && IsW(x, "body"))
                    break;
                if (!x.isStartElement())
                    continue;
                if (IsW(x, "p")) {
                    const ParsedParagraph p = ReadParagraph(x, styles);
                    DocxBlock b;
                    b.text = p.text;
                    b.alignment = p.alignment;
                    b.spaceAfter = p.spaceAfter;
                    b.fontSize = p.fontSize;
                    b.pageBreak = p.pageBreak;
                    doc.blocks.append(b);
                } else if (IsW(x, "tbl")) {
                    DocxBlock b;
                    b.isTable = true;
                    b.table = ReadTable(x, styles);
                    doc.blocks.append(b);
                } else if (IsW(x, "sectPr")) {
                    int depth = 1;
                    while (depth > 0 && !x.atEnd()) {
                        x.readNext();
                        if (x.isStartElement()) {
                            ++depth;
                            if (IsW(x, "pgSz")) {
                                doc.pageWidth = Attr(x, QStringLiteral("w")) / 20.0;
                                doc.pageHeight = Attr(x, QStringLiteral("h")) / 20.0;
                                doc.landscape = AttrText(x, QStringLiteral("orient")) == QLatin1String("landscape");
                            } else if (IsW(x, "headerReference")) {
                                for (const QXmlStreamAttribute &a : x.attributes())
                                    if (a.namespaceUri() == kR && a.name() == QLatin1String("id"))
                                        headerId = a.value().toString();
                            }
                        } else if (x.isEndElement()) {
                            --depth;
                        }
                    }
                } else {
                    x.skipCurrentElement();
                }
            }
        }
    }
    if (x.hasError()) {
        doc.error = QStringLiteral("document part: ") + x.errorString();
        return doc;
    }

    const QMap<QString, QString> rels = ReadRels(relsXml);
    if (!headerId.isEmpty() && rels.contains(headerId))
        ReadHeaderPicture(pkg, Resolve(mainPart, rels.value(headerId)), doc);

    // Settings: found by its relationship type.
    {
        const QString settingsTarget = TargetOfType(relsXml, "/settings");
        const QString settingsPart = settingsTarget.isEmpty() ? QString() : Resolve(mainPart, settingsTarget);
        QXmlStreamReader s(pkg.Part(settingsPart));
        while (!s.atEnd()) {
            s.readNext();
            if (s.isStartElement() && IsW(s, "documentProtection"))
                for (const QXmlStreamAttribute &a : s.attributes())
                    doc.protection.insert(a.name().toString(), a.value().toString());
        }
        if (s.hasError() && !settingsPart.isEmpty()) {
            doc.error = QStringLiteral("settings part: ") + s.errorString();
            return doc;
        }
    }
    doc.valid = true;
    return doc;
}

DocxDocument ReadDocxFile(const QString &fileName)
{
    QFile f(fileName);
    if (!f.open(QIODevice::ReadOnly)) {
        DocxDocument doc;
        doc.error = f.errorString();
        return doc;
    }
    return ReadDocx(f.readAll());
}

} // namespace qst::test
