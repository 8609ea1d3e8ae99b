#ifndef PSM_LOG_H
#define PSM_LOG_H

#include <QDebug>

// One diagnostic line: "[", the quoted local time stamp, ", ", the operation
// name and "]", then whatever the caller streams. QDebug quotes and escapes
// QString values, writes const char* literals as they are, separates items
// with one blank and drops the trailing blank, which is exactly the line
// layout the agent writes. The line is handed to Qt's message handler in one
// piece when the returned stream goes out of scope.
QDebug logLine(const char* operation);

// The operation name is the plain name of the calling function; inside a
// lambda the compiler names it "operator()".
#define PSM_LOG ::logLine(__func__)

#endif // PSM_LOG_H
