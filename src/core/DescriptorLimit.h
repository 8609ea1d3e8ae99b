#ifndef PSM_DESCRIPTORLIMIT_H
#define PSM_DESCRIPTORLIMIT_H

// Raises this process's soft limit of open descriptors to its hard limit.
// The usual soft limit of 1,024 is a default for programs that still use
// select(); ours poll, and a fleet of printers polled side by side, or an
// exporter with many scrapes open, may need more. Logs the change once;
// returns the soft limit in force afterwards (0 when it cannot be read).
unsigned long raiseDescriptorLimit();

#endif // PSM_DESCRIPTORLIMIT_H
