#pragma once

#include "DocumentModel.h"

#include <QString>

#include <vector>

namespace qst::docx {

// Paragraph settings become named styles: the body names one per paragraph instead of
// repeating the settings, which keeps a year of hourly rows small.
class ParagraphStyles
{
public:
    struct Key
    {
        int alignment;
        int spaceAfter;
        int fontSize;
        bool keepNext;
        bool operator==(const Key &) const = default;
    };

    int IndexFor(const Paragraph &p);
    const QString &Id(int index) const { return m_ids[index]; }
    const std::vector<Key> &Keys() const { return m_keys; }

private:
    std::vector<Key> m_keys;
    std::vector<QString> m_ids;
    int m_last = -1;
};

// word/document.xml: the body's paragraphs and tables and the page settings; the paragraph
// styles it uses are collected in `styles`.
QByteArray DocumentXml(const DocumentModel &model, ParagraphStyles &styles);

extern const QString kNsW;
extern const QString kNsR;

} // namespace qst::docx
