#pragma once

#include <QString>

namespace qst {

// Result codes of the device link: every transaction and reader returns one of these,
// never throws. The exchange thread logs the number; LinkResultText gives a short text.
enum LinkResult : int {
    kLinkOk = 1, // answer received and accepted
    kLinkNoRecord = 2, // the calculator marks the slot empty (0xFF in the record's date)
    kLinkNoAnswer = -1, // nothing arrived within the wait, also after the second listening
    kLinkBadCrc = -2, // the answer's CRC does not match, or the frame is too short for one
    kLinkWrongAnswer = -3, // wrong function code, exception answer, record count 0, or a
                           // frame too short for the layout the caller reads from it
    kLinkImpossibleDate = -4 // a record or clock whose date and time bytes are no calendar time
};

// A short Russian text for a result code, for log lines; unknown codes give their number.
QString LinkResultText(int code);

} // namespace qst
