#include "DocumentProtection.h"
#include "DocxBody.h"
#include "WordDocument.h"

#include <QDateTime>
#include <QXmlStreamWriter>

#include <zip.h>

#include <cmath>

// The package around the body: styles, settings (protection), the page header with its
// picture, content types, relationships and properties, zipped.

namespace qst::docx {

namespace {

constexpr qint64 kEmuPerPoint = 12700;

const QString kNsWp = QStringLiteral("http://schemas.openxmlformats.org/drawingml/2006/wordprocessingDrawing");
const QString kNsA = QStringLiteral("http://schemas.openxmlformats.org/drawingml/2006/main");
const QString kNsPic = QStringLiteral("http://schemas.openxmlformats.org/drawingml/2006/picture");
const QString kNsRel = QStringLiteral("http://schemas.openxmlformats.org/package/2006/relationships");
const QString kRelBase = QStringLiteral("http://schemas.openxmlformats.org/officeDocument/2006/relationships/");

QString Twips(double points)
{
    return QString::number(std::lround(points * 20.0));
}

QString Emu(double points)
{
    return QString::number(qint64(std::llround(points * double(kEmuPerPoint))));
}

void StartPart(QXmlStreamWriter &w)
{
    w.setAutoFormatting(false);
    w.writeStartDocument(QStringLiteral("1.0"), true);
}

void WriteRunProperties(QXmlStreamWriter &w, int fontSize)
{
    // Only w:sz: the complex-script size (w:szCs) would double the bytes of every run for scripts
    // these documents never hold.
    w.writeStartElement(QStringLiteral("w:rPr"));
    w.writeEmptyElement(QStringLiteral("w:sz"));
    w.writeAttribute(QStringLiteral("w:val"), QString::number(fontSize * 2));
    w.writeEndElement();
}

void WriteRelationship(QXmlStreamWriter &w, const QString &id, const QString &type, const QString &target)
{
    w.writeEmptyElement(QStringLiteral("Relationship"));
    w.writeAttribute(QStringLiteral("Id"), id);
    w.writeAttribute(QStringLiteral("Type"), type);
    w.writeAttribute(QStringLiteral("Target"), target);
}

QByteArray StylesXml(const ParagraphStyles &styles)
{
    QByteArray out;
    QXmlStreamWriter w(&out);
    StartPart(w);
    w.writeStartElement(QStringLiteral("w:styles"));
    w.writeNamespace(kNsW, QStringLiteral("w"));
    w.writeStartElement(QStringLiteral("w:docDefaults"));
    w.writeStartElement(QStringLiteral("w:rPrDefault"));
    w.writeStartElement(QStringLiteral("w:rPr"));
    // Liberation Serif stands in for it where Times New Roman is missing; the metrics are the same.
    w.writeEmptyElement(QStringLiteral("w:rFonts"));
    for (const char *attr : { "w:ascii", "w:hAnsi", "w:eastAsia", "w:cs" })
        w.writeAttribute(QLatin1String(attr), QStringLiteral("Times New Roman"));
    w.writeEmptyElement(QStringLiteral("w:sz"));
    w.writeAttribute(QStringLiteral("w:val"), QString::number(kDefaultFontSize * 2));
    w.writeEmptyElement(QStringLiteral("w:szCs"));
    w.writeAttribute(QStringLiteral("w:val"), QString::number(kDefaultFontSize * 2));
    w.writeEmptyElement(QStringLiteral("w:lang"));
    w.writeAttribute(QStringLiteral("w:val"), QStringLiteral("ru-RU"));
    w.writeAttribute(QStringLiteral("w:eastAsia"), QStringLiteral("ru-RU"));
    w.writeAttribute(QStringLiteral("w:bidi"), QStringLiteral("ar-SA"));
    w.writeEndElement(); // rPr
    w.writeEndElement(); // rPrDefault
    w.writeStartElement(QStringLiteral("w:pPrDefault"));
    w.writeStartElement(QStringLiteral("w:pPr"));
    w.writeEmptyElement(QStringLiteral("w:spacing"));
    w.writeAttribute(QStringLiteral("w:after"), QStringLiteral("0"));
    w.writeAttribute(QStringLiteral("w:line"), QStringLiteral("240"));
    w.writeAttribute(QStringLiteral("w:lineRule"), QStringLiteral("auto"));
    w.writeEndElement(); // pPr
    w.writeEndElement(); // pPrDefault
    w.writeEndElement(); // docDefaults

    w.writeStartElement(QStringLiteral("w:style"));
    w.writeAttribute(QStringLiteral("w:type"), QStringLiteral("paragraph"));
    w.writeAttribute(QStringLiteral("w:default"), QStringLiteral("1"));
    w.writeAttribute(QStringLiteral("w:styleId"), QStringLiteral("Normal"));
    w.writeEmptyElement(QStringLiteral("w:name"));
    w.writeAttribute(QStringLiteral("w:val"), QStringLiteral("Normal"));
    w.writeEmptyElement(QStringLiteral("w:qFormat"));
    w.writeEndElement();

    for (int i = 0; i < int(styles.Keys().size()); ++i) {
        const ParagraphStyles::Key &k = styles.Keys()[i];
        w.writeStartElement(QStringLiteral("w:style"));
        w.writeAttribute(QStringLiteral("w:type"), QStringLiteral("paragraph"));
        w.writeAttribute(QStringLiteral("w:customStyle"), QStringLiteral("1"));
        w.writeAttribute(QStringLiteral("w:styleId"), styles.Id(i));
        w.writeEmptyElement(QStringLiteral("w:name"));
        w.writeAttribute(QStringLiteral("w:val"), QStringLiteral("QST %1").arg(i + 1));
        w.writeEmptyElement(QStringLiteral("w:basedOn"));
        w.writeAttribute(QStringLiteral("w:val"), QStringLiteral("Normal"));
        w.writeStartElement(QStringLiteral("w:pPr"));
        if (k.keepNext)
            w.writeEmptyElement(QStringLiteral("w:keepNext"));
        if (k.spaceAfter >= 0) {
            w.writeEmptyElement(QStringLiteral("w:spacing"));
            w.writeAttribute(QStringLiteral("w:after"), Twips(k.spaceAfter));
        }
        w.writeEmptyElement(QStringLiteral("w:jc"));
        w.writeAttribute(
            QStringLiteral("w:val"), k.alignment == kAlignCenter ? QStringLiteral("center") : QStringLiteral("left"));
        w.writeEndElement(); // pPr
        WriteRunProperties(w, k.fontSize);
        w.writeEndElement(); // style
    }

    w.writeStartElement(QStringLiteral("w:style"));
    w.writeAttribute(QStringLiteral("w:type"), QStringLiteral("table"));
    w.writeAttribute(QStringLiteral("w:default"), QStringLiteral("1"));
    w.writeAttribute(QStringLiteral("w:styleId"), QStringLiteral("TableNormal"));
    w.writeEmptyElement(QStringLiteral("w:name"));
    w.writeAttribute(QStringLiteral("w:val"), QStringLiteral("Normal Table"));
    w.writeStartElement(QStringLiteral("w:tblPr"));
    w.writeEmptyElement(QStringLiteral("w:tblInd"));
    w.writeAttribute(QStringLiteral("w:w"), QStringLiteral("0"));
    w.writeAttribute(QStringLiteral("w:type"), QStringLiteral("dxa"));
    w.writeStartElement(QStringLiteral("w:tblCellMar"));
    for (const char *side : { "top", "left", "bottom", "right" }) {
        w.writeEmptyElement(QStringLiteral("w:") + QLatin1String(side));
        const bool horizontal = side[0] == 'l' || side[0] == 'r';
        w.writeAttribute(QStringLiteral("w:w"), horizontal ? QStringLiteral("108") : QStringLiteral("0"));
        w.writeAttribute(QStringLiteral("w:type"), QStringLiteral("dxa"));
    }
    w.writeEndElement(); // tblCellMar
    w.writeEndElement(); // tblPr
    w.writeEndElement(); // style
    w.writeEndElement(); // styles
    w.writeEndDocument();
    return out;
}

QByteArray SettingsXml(const Protection &protection)
{
    QByteArray out;
    QXmlStreamWriter w(&out);
    StartPart(w);
    w.writeStartElement(QStringLiteral("w:settings"));
    w.writeNamespace(kNsW, QStringLiteral("w"));
    if (protection.readOnly) {
        w.writeEmptyElement(QStringLiteral("w:documentProtection"));
        w.writeAttribute(QStringLiteral("w:edit"), QStringLiteral("readOnly"));
        w.writeAttribute(QStringLiteral("w:enforcement"), QStringLiteral("1"));
        // The style lock: formatting cannot be changed either.
        w.writeAttribute(QStringLiteral("w:formatting"), QStringLiteral("1"));
        w.writeAttribute(QStringLiteral("w:algorithmName"), QStringLiteral("SHA-512"));
        w.writeAttribute(QStringLiteral("w:hashValue"), QString::fromLatin1(protection.hash.toBase64()));
        w.writeAttribute(QStringLiteral("w:saltValue"), QString::fromLatin1(protection.salt.toBase64()));
        w.writeAttribute(QStringLiteral("w:spinCount"), QString::number(kProtectionSpinCount));
    }
    w.writeEmptyElement(QStringLiteral("w:defaultTabStop"));
    w.writeAttribute(QStringLiteral("w:val"), QStringLiteral("708"));
    w.writeEmptyElement(QStringLiteral("w:characterSpacingControl"));
    w.writeAttribute(QStringLiteral("w:val"), QStringLiteral("doNotCompress"));
    w.writeStartElement(QStringLiteral("w:compat"));
    w.writeEmptyElement(QStringLiteral("w:compatSetting"));
    w.writeAttribute(QStringLiteral("w:name"), QStringLiteral("compatibilityMode"));
    w.writeAttribute(QStringLiteral("w:uri"), QStringLiteral("http://schemas.microsoft.com/office/word"));
    w.writeAttribute(QStringLiteral("w:val"), QStringLiteral("15"));
    w.writeEndElement(); // compat
    w.writeEndElement(); // settings
    w.writeEndDocument();
    return out;
}

QByteArray HeaderXml(const HeaderPicture &picture)
{
    QByteArray out;
    QXmlStreamWriter w(&out);
    StartPart(w);
    w.writeStartElement(QStringLiteral("w:hdr"));
    w.writeNamespace(kNsW, QStringLiteral("w"));
    w.writeNamespace(kNsR, QStringLiteral("r"));
    w.writeNamespace(kNsWp, QStringLiteral("wp"));
    w.writeNamespace(kNsA, QStringLiteral("a"));
    w.writeNamespace(kNsPic, QStringLiteral("pic"));
    w.writeStartElement(QStringLiteral("w:p"));
    w.writeStartElement(QStringLiteral("w:pPr"));
    w.writeEmptyElement(QStringLiteral("w:spacing"));
    w.writeAttribute(QStringLiteral("w:after"), QStringLiteral("0"));
    w.writeEndElement();
    w.writeStartElement(QStringLiteral("w:r"));
    w.writeStartElement(QStringLiteral("w:drawing"));

    w.writeStartElement(QStringLiteral("wp:anchor"));
    for (const char *attr : { "distT", "distB", "distL", "distR", "simplePos", "relativeHeight" })
        w.writeAttribute(QLatin1String(attr), QStringLiteral("0"));
    w.writeAttribute(QStringLiteral("behindDoc"), QStringLiteral("1"));
    w.writeAttribute(QStringLiteral("locked"), QStringLiteral("0"));
    w.writeAttribute(QStringLiteral("layoutInCell"), QStringLiteral("1"));
    w.writeAttribute(QStringLiteral("allowOverlap"), QStringLiteral("1"));
    w.writeEmptyElement(QStringLiteral("wp:simplePos"));
    w.writeAttribute(QStringLiteral("x"), QStringLiteral("0"));
    w.writeAttribute(QStringLiteral("y"), QStringLiteral("0"));
    w.writeStartElement(QStringLiteral("wp:positionH"));
    w.writeAttribute(QStringLiteral("relativeFrom"), QStringLiteral("column"));
    w.writeTextElement(QStringLiteral("wp:posOffset"), Emu(picture.left));
    w.writeEndElement();
    w.writeStartElement(QStringLiteral("wp:positionV"));
    w.writeAttribute(QStringLiteral("relativeFrom"), QStringLiteral("paragraph"));
    w.writeTextElement(QStringLiteral("wp:posOffset"), Emu(picture.top));
    w.writeEndElement();
    w.writeEmptyElement(QStringLiteral("wp:extent"));
    w.writeAttribute(QStringLiteral("cx"), Emu(picture.width));
    w.writeAttribute(QStringLiteral("cy"), Emu(picture.height));
    w.writeEmptyElement(QStringLiteral("wp:effectExtent"));
    for (const char *attr : { "l", "t", "r", "b" })
        w.writeAttribute(QLatin1String(attr), QStringLiteral("0"));
    w.writeEmptyElement(QStringLiteral("wp:wrapNone"));
    w.writeEmptyElement(QStringLiteral("wp:docPr"));
    w.writeAttribute(QStringLiteral("id"), QStringLiteral("1"));
    w.writeAttribute(QStringLiteral("name"), QStringLiteral("Picture 1"));
    w.writeStartElement(QStringLiteral("wp:cNvGraphicFramePr"));
    w.writeEmptyElement(QStringLiteral("a:graphicFrameLocks"));
    w.writeAttribute(QStringLiteral("noChangeAspect"), QStringLiteral("1"));
    w.writeEndElement();

    w.writeStartElement(QStringLiteral("a:graphic"));
    w.writeStartElement(QStringLiteral("a:graphicData"));
    w.writeAttribute(QStringLiteral("uri"), kNsPic);
    w.writeStartElement(QStringLiteral("pic:pic"));
    w.writeStartElement(QStringLiteral("pic:nvPicPr"));
    w.writeEmptyElement(QStringLiteral("pic:cNvPr"));
    w.writeAttribute(QStringLiteral("id"), QStringLiteral("0"));
    w.writeAttribute(QStringLiteral("name"), QStringLiteral("image1.") + QLatin1String(picture.extension));
    w.writeEmptyElement(QStringLiteral("pic:cNvPicPr"));
    w.writeEndElement(); // nvPicPr
    w.writeStartElement(QStringLiteral("pic:blipFill"));
    w.writeEmptyElement(QStringLiteral("a:blip"));
    w.writeAttribute(QStringLiteral("r:embed"), QStringLiteral("rIdImage1"));
    w.writeStartElement(QStringLiteral("a:stretch"));
    w.writeEmptyElement(QStringLiteral("a:fillRect"));
    w.writeEndElement();
    w.writeEndElement(); // blipFill
    w.writeStartElement(QStringLiteral("pic:spPr"));
    w.writeStartElement(QStringLiteral("a:xfrm"));
    w.writeEmptyElement(QStringLiteral("a:off"));
    w.writeAttribute(QStringLiteral("x"), QStringLiteral("0"));
    w.writeAttribute(QStringLiteral("y"), QStringLiteral("0"));
    w.writeEmptyElement(QStringLiteral("a:ext"));
    w.writeAttribute(QStringLiteral("cx"), Emu(picture.width));
    w.writeAttribute(QStringLiteral("cy"), Emu(picture.height));
    w.writeEndElement(); // xfrm
    w.writeStartElement(QStringLiteral("a:prstGeom"));
    w.writeAttribute(QStringLiteral("prst"), QStringLiteral("rect"));
    w.writeEmptyElement(QStringLiteral("a:avLst"));
    w.writeEndElement();
    w.writeEndElement(); // spPr
    w.writeEndElement(); // pic
    w.writeEndElement(); // graphicData
    w.writeEndElement(); // graphic
    w.writeEndElement(); // anchor

    w.writeEndElement(); // drawing
    w.writeEndElement(); // r
    w.writeEndElement(); // p
    w.writeEndElement(); // hdr
    w.writeEndDocument();
    return out;
}

QByteArray ContentTypesXml(const HeaderPicture &picture)
{
    QByteArray out;
    QXmlStreamWriter w(&out);
    StartPart(w);
    w.writeStartElement(QStringLiteral("Types"));
    w.writeDefaultNamespace(QStringLiteral("http://schemas.openxmlformats.org/package/2006/content-types"));
    auto def = [&](const QString &ext, const QString &type) {
        w.writeEmptyElement(QStringLiteral("Default"));
        w.writeAttribute(QStringLiteral("Extension"), ext);
        w.writeAttribute(QStringLiteral("ContentType"), type);
    };
    auto over = [&](const QString &part, const QString &type) {
        w.writeEmptyElement(QStringLiteral("Override"));
        w.writeAttribute(QStringLiteral("PartName"), part);
        w.writeAttribute(QStringLiteral("ContentType"), type);
    };
    def(QStringLiteral("rels"), QStringLiteral("application/vnd.openxmlformats-package.relationships+xml"));
    def(QStringLiteral("xml"), QStringLiteral("application/xml"));
    def(QStringLiteral("png"), QStringLiteral("image/png"));
    if (!picture.bytes.isEmpty() && qstrcmp(picture.extension, "png") != 0)
        def(QLatin1String(picture.extension), QLatin1String(picture.contentType));
    const QString wml = QStringLiteral("application/vnd.openxmlformats-officedocument.wordprocessingml.");
    over(QStringLiteral("/word/document.xml"), wml + QStringLiteral("document.main+xml"));
    over(QStringLiteral("/word/styles.xml"), wml + QStringLiteral("styles+xml"));
    over(QStringLiteral("/word/settings.xml"), wml + QStringLiteral("settings+xml"));
    if (!picture.bytes.isEmpty())
        over(QStringLiteral("/word/header1.xml"), wml + QStringLiteral("header+xml"));
    over(QStringLiteral("/docProps/core.xml"),
        QStringLiteral("application/vnd.openxmlformats-package.core-properties+xml"));
    over(QStringLiteral("/docProps/app.xml"),
        QStringLiteral("application/vnd.openxmlformats-officedocument.extended-properties+xml"));
    w.writeEndElement();
    w.writeEndDocument();
    return out;
}

QByteArray DocumentRelsXml(const HeaderPicture &picture)
{
    QByteArray out;
    QXmlStreamWriter w(&out);
    StartPart(w);
    w.writeStartElement(QStringLiteral("Relationships"));
    w.writeDefaultNamespace(kNsRel);
    WriteRelationship(
        w, QStringLiteral("rIdStyles"), kRelBase + QStringLiteral("styles"), QStringLiteral("styles.xml"));
    WriteRelationship(
        w, QStringLiteral("rIdSettings"), kRelBase + QStringLiteral("settings"), QStringLiteral("settings.xml"));
    if (!picture.bytes.isEmpty())
        WriteRelationship(
            w, QStringLiteral("rIdHeader1"), kRelBase + QStringLiteral("header"), QStringLiteral("header1.xml"));
    w.writeEndElement();
    w.writeEndDocument();
    return out;
}

QByteArray CorePropsXml()
{
    QByteArray out;
    QXmlStreamWriter w(&out);
    StartPart(w);
    w.writeStartElement(QStringLiteral("cp:coreProperties"));
    w.writeNamespace(QStringLiteral("http://schemas.openxmlformats.org/package/2006/metadata/core-properties"),
        QStringLiteral("cp"));
    w.writeNamespace(QStringLiteral("http://purl.org/dc/elements/1.1/"), QStringLiteral("dc"));
    w.writeNamespace(QStringLiteral("http://purl.org/dc/terms/"), QStringLiteral("dcterms"));
    w.writeNamespace(QStringLiteral("http://www.w3.org/2001/XMLSchema-instance"), QStringLiteral("xsi"));
    w.writeTextElement(QStringLiteral("dc:creator"), QStringLiteral("QST Archiver"));
    const QString now = QDateTime::currentDateTimeUtc().toString(Qt::ISODate);
    w.writeStartElement(QStringLiteral("dcterms:created"));
    w.writeAttribute(QStringLiteral("xsi:type"), QStringLiteral("dcterms:W3CDTF"));
    w.writeCharacters(now);
    w.writeEndElement();
    w.writeEndElement();
    w.writeEndDocument();
    return out;
}

QByteArray AppPropsXml()
{
    QByteArray out;
    QXmlStreamWriter w(&out);
    StartPart(w);
    w.writeStartElement(QStringLiteral("Properties"));
    w.writeDefaultNamespace(
        QStringLiteral("http://schemas.openxmlformats.org/officeDocument/2006/extended-properties"));
    w.writeTextElement(QStringLiteral("Application"), QStringLiteral("QST Archiver"));
    w.writeEndElement();
    w.writeEndDocument();
    return out;
}

} // namespace

QByteArray WriteDocx(const DocumentModel &d)
{
    // Part names and their bytes, in the package's order: the content types first.
    std::vector<std::pair<QByteArray, QByteArray>> parts;
    parts.emplace_back("[Content_Types].xml", ContentTypesXml(d.picture));
    {
        QByteArray rels;
        QXmlStreamWriter w(&rels);
        StartPart(w);
        w.writeStartElement(QStringLiteral("Relationships"));
        w.writeDefaultNamespace(kNsRel);
        WriteRelationship(w, QStringLiteral("rId1"), kRelBase + QStringLiteral("officeDocument"),
            QStringLiteral("word/document.xml"));
        WriteRelationship(w, QStringLiteral("rId2"),
            QStringLiteral("http://schemas.openxmlformats.org/package/2006/relationships/metadata/core-properties"),
            QStringLiteral("docProps/core.xml"));
        WriteRelationship(w, QStringLiteral("rId3"), kRelBase + QStringLiteral("extended-properties"),
            QStringLiteral("docProps/app.xml"));
        w.writeEndElement();
        w.writeEndDocument();
        parts.emplace_back("_rels/.rels", rels);
    }
    ParagraphStyles styles;
    parts.emplace_back("word/document.xml", DocumentXml(d, styles));
    parts.emplace_back("word/_rels/document.xml.rels", DocumentRelsXml(d.picture));
    parts.emplace_back("word/styles.xml", StylesXml(styles));
    parts.emplace_back("word/settings.xml", SettingsXml(d.protection));
    if (!d.picture.bytes.isEmpty()) {
        const QByteArray media = QByteArray("media/image1.") + d.picture.extension;
        parts.emplace_back("word/header1.xml", HeaderXml(d.picture));
        QByteArray rels;
        QXmlStreamWriter w(&rels);
        StartPart(w);
        w.writeStartElement(QStringLiteral("Relationships"));
        w.writeDefaultNamespace(kNsRel);
        WriteRelationship(
            w, QStringLiteral("rIdImage1"), kRelBase + QStringLiteral("image"), QString::fromLatin1(media));
        w.writeEndElement();
        w.writeEndDocument();
        parts.emplace_back("word/_rels/header1.xml.rels", rels);
        parts.emplace_back("word/" + media, d.picture.bytes);
    }
    parts.emplace_back("docProps/core.xml", CorePropsXml());
    parts.emplace_back("docProps/app.xml", AppPropsXml());

    zip_error_t error;
    zip_error_init(&error);
    zip_source_t *target = zip_source_buffer_create(nullptr, 0, 0, &error);
    if (!target)
        return {};
    zip_t *archive = zip_open_from_source(target, ZIP_TRUNCATE, &error);
    if (!archive) {
        zip_source_free(target);
        return {};
    }
    zip_source_keep(target);
    bool ok = true;
    for (const auto &[name, bytes] : parts) {
        zip_source_t *source = zip_source_buffer(archive, bytes.constData(), zip_uint64_t(bytes.size()), 0);
        const zip_int64_t index = source ? zip_file_add(archive, name.constData(), source, ZIP_FL_ENC_UTF_8) : -1;
        if (index < 0) {
            zip_source_free(source);
            ok = false;
            break;
        }
        // Pictures are compressed already; the XML parts shrink tenfold even at the fastest level.
        if (name.startsWith("word/media/"))
            zip_set_file_compression(archive, zip_uint64_t(index), ZIP_CM_STORE, 0);
        else
            zip_set_file_compression(archive, zip_uint64_t(index), ZIP_CM_DEFLATE, 1);
    }
    if (!ok) {
        zip_discard(archive);
        zip_source_free(target);
        return {};
    }
    if (zip_close(archive) != 0) {
        zip_discard(archive);
        zip_source_free(target);
        return {};
    }

    QByteArray out;
    if (zip_source_open(target) == 0) {
        zip_source_seek(target, 0, SEEK_END);
        const zip_int64_t size = zip_source_tell(target);
        zip_source_seek(target, 0, SEEK_SET);
        if (size > 0) {
            out.resize(qsizetype(size));
            if (zip_source_read(target, out.data(), zip_uint64_t(size)) != size)
                out.clear();
        }
        zip_source_close(target);
    }
    zip_source_free(target);
    return out;
}

} // namespace qst::docx
