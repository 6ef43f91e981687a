#include <gtest/gtest.h>

#include "rig/rig_address.h"

TEST(RigAddress, ReadsBothFormsAndRefusesTheRest)
{
    struct Row {
        const char* text;
        bool ok;
        int model;
        const char* device;
        int settings;
    };
    const Row rows[] = {
        {"127.0.0.1:4532", true, RIG_MODEL_RIGCTLD, "127.0.0.1:4532", 0},
        {"localhost:4532", true, RIG_MODEL_RIGCTLD, "localhost:4532", 0},
        {"3073:/dev/ttyUSB0", true, 3073, "/dev/ttyUSB0", 0},
        {"3073:/dev/ttyUSB0,serial_speed=19200,ptt_type=RTS", true, 3073, "/dev/ttyUSB0", 2},
        {"host:0", false, 0, "", 0},
        {"host:70000", false, 0, "", 0},
        {"yaesu:/dev/ttyUSB0", false, 0, "", 0},
        {"3073:/dev/ttyUSB0,serial_speed", false, 0, "", 0},
        {"3073:", false, 0, "", 0},
        {"nocolon", false, 0, "", 0},
    };
    for (const Row& row : rows) {
        RigAddress address;
        QString error;
        const bool ok = parse_rig_address(QString::fromLatin1(row.text), address, error);
        EXPECT_EQ(ok, row.ok) << row.text;
        if (!ok) {
            EXPECT_FALSE(error.isEmpty()) << row.text;
            continue;
        }
        EXPECT_EQ(address.model, row.model) << row.text;
        EXPECT_EQ(address.device, QString::fromLatin1(row.device)) << row.text;
        EXPECT_EQ(int(address.settings.size()), row.settings) << row.text;
    }
}
