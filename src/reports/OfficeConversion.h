#pragma once

#include <QString>

namespace qst {

// Converts a document with an installed office suite (LibreOffice's soffice, headless, with a
// private profile folder so a running office or a broken user profile does not interfere).
// `filter` is what --convert-to takes ("pdf", "txt:Text"). The result goes to outDir under
// the document's base name; its path is put in *outFile. False with the reason in *error:
// no office suite, a conversion that failed or ran past the time limit.
bool ConvertWithOffice(const QString &document, const QString &filter, const QString &outDir, QString *outFile,
                       QString *error, int timeoutMs = 180000);

// The office program found on PATH (soffice or libreoffice); empty when none.
QString OfficeProgram();

} // namespace qst
