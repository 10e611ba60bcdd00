#pragma once
// What the window tells the user when the line in force is not the line its
// selectors show: a choice the driver refused or changed, or a selector whose
// text names none of its items.

#include "win32.h"

#include <QString>

// The settings as the window shows them at connect.
struct ShownSettings {
    QString baud;
    QString stopBits;
    QString parity;
    QString dataBits;
    bool checkParity = false;
    bool rtsOn = false;
    bool dtrOn = false;
};

// "In force, not as shown: Baud 9600, Stop Bits One Stop Bit", naming only what
// differs; empty when everything matches. What the device cannot carry at all
// (a pseudo-terminal's data bits and parity) is not reported.
QString InForceReport(const DCB& inForce, const ShownSettings& shown, const COMMPROP& device);
