#ifndef PSM_LOCKPROMPTS_H
#define PSM_LOCKPROMPTS_H

// Makes the instance lock ask its questions and show its errors in message
// boxes. Needs the application object.
void installLockPrompts();

#endif // PSM_LOCKPROMPTS_H
