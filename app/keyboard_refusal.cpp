#include "app/keyboard_refusal.h"

QString keyboard_refusal_text(const QString& reason, bool none_found)
{
    QString t;
    t += QStringLiteral("keyline-bench: refusing to start (need true KEY level via /dev/input).\n");
    t += QStringLiteral("  %1\n").arg(reason);
    t += QStringLiteral("  Verify after re-login:  groups | grep -w input\n");
    if (none_found)
        t += QStringLiteral("  This machine has no keyboard device under /dev/input: there is none to "
                            "open, so no group or permission will help.\n");
    t += QStringLiteral("  Without a keyboard: --key-text TEXT or --key-script FILE keys the KEY "
                        "(see --help).\n");
    return t;
}
