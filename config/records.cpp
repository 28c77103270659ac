#include "config/records.h"

#include "net/text.h"

void ApplyAccountDefaults(account_s& account) {
    CopyText(account.name, "New Account");
    CopyText(account.login, "");
    CopyText(account.password, "");
    CopyText(account.home, "");
    CopyText(account.loginmsg, "");
    account.reserved1 = 0;
    account.reserved2 = 1000000;
    account.reserved3 = 1000000;
    account.timeout = 300;
    account.maxlogins = 10;
    account.enabled = 1;
    account.reserved4 = 0;
    account.reserved5 = 0;
    account.reserved6 = 0;
    account.reserved7 = 0;
}

void ApplyOptionDefaults(srvropt_s& options) {
    options.port = 21;
    options.features = 0;
    options.reserved2 = 1000000;
    options.reserved3 = 1000000;
    options.maxusers = 100;
    options.anonemailcheck = 0;
    options.reserved4 = 1;
    options.startatboot = 1;
    options.idletimeout = 300;
}
