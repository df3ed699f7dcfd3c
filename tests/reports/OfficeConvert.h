#pragma once

#include <QString>

namespace qst::test {

// The LibreOffice program (soffice) found on the PATH; empty when it is not installed.
QString OfficeProgram();

// Converts a document with LibreOffice headless (a private profile folder, a time limit of two
// minutes). format is what --convert-to takes ("txt:Text", "pdf"); *outFile receives the file
// written into outDir. False with a reason in *error when LibreOffice is missing or fails.
bool ConvertWithOffice(
    const QString &docx, const QString &format, const QString &outDir, QString *outFile, QString *error);

} // namespace qst::test
