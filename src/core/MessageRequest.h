#ifndef PSM_MESSAGEREQUEST_H
#define PSM_MESSAGEREQUEST_H

// A message box that a worker asks the GUI to show; the tray controller maps
// these to the widget library's icons and buttons.
enum class MessageIcon { NoIcon, Information, Warning, Critical, Question };
enum class MessageButtons { Ok, OkCancel, YesNo };

#endif // PSM_MESSAGEREQUEST_H
