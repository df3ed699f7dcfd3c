#pragma once

#include <QString>

#include <functional>

namespace qst {

// Converts a document with an installed office suite (LibreOffice's soffice, headless, with a
// private profile folder so a running office or a broken user profile does not interfere).
// `filter` is what --convert-to takes ("pdf", "txt:Text"). The result goes to outDir under
// the document's base name; its path is put in *outFile. False with the reason in *error:
// no office suite, a conversion that failed or ran past the time limit.
// `waiting` is called about once a second with the seconds spent so far.
bool ConvertWithOffice(const QString &document, const QString &filter, const QString &outDir, QString *outFile,
                       QString *error, int timeoutMs = 180000,
                       const std::function<void(int seconds)> &waiting = {});

// Time to allow for converting a document of so many table rows to PDF: a minute, and a tenth
// of a second per row (a year of hourly records, 9,500 rows, takes about six minutes).
int PdfTimeoutMs(int tableRows);

// The office program found on PATH (soffice or libreoffice); empty when none.
QString OfficeProgram();

} // namespace qst
