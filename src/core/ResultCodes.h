#ifndef PSM_RESULTCODES_H
#define PSM_RESULTCODES_H

// What a call over a printer's channel returns.
enum CallResult : int {
    CallOk = 0,
    // The transport did not open, the call failed, or the reply lacked the
    // method's response.
    CallFailed = -1,
    // The connector stayed busy for more than 5000 ms.
    CallBusy = -2,
};

#endif // PSM_RESULTCODES_H
