#include "line_report.h"

#include "line_settings.h"

#include <QStringList>

namespace {

// The caption of `value` in `choices`, or the value itself where no item has it.
QString CaptionOf(std::span<const SettingChoice> choices, DWORD value, const QString& otherwise) {
    for (const SettingChoice& choice : choices)
        if (choice.value == value) return QString::fromLatin1(choice.item);
    return otherwise;
}

bool Same(const QString& shown, const QString& inForce) {
    return shown.trimmed().compare(inForce, Qt::CaseInsensitive) == 0;
}

// The data bits the chip runs: what termios holds, unless the driver is known to
// keep there a size the chip cannot make (ftdi_sio's 5), which it then runs at 8.
BYTE DataBitsInForce(BYTE byteSize, const COMMPROP& device) {
    static constexpr std::uint16_t kMasks[] = {DATABITS_5, DATABITS_6, DATABITS_7, DATABITS_8};
    const bool known = byteSize >= 5 && byteSize <= 8;
    return known && !(device.wSettableData & kMasks[byteSize - 5]) ? 8 : byteSize;
}

QString OnOff(bool on) { return on ? QStringLiteral("On") : QStringLiteral("Off"); }

}  // namespace

QString InForceReport(const DCB& inForce, const ShownSettings& shown, const COMMPROP& device) {
    QStringList differs;
    const auto check = [&](const char* label, const QString& shownText, const QString& actual) {
        if (!Same(shownText, actual)) differs << QStringLiteral("%1 %2").arg(label, actual);
    };
    check("Baud", shown.baud, CaptionOf(kBaudChoices, inForce.BaudRate, QString::number(inForce.BaudRate)));
    check("Stop Bits", shown.stopBits, CaptionOf(kStopBitChoices, inForce.StopBits, QStringLiteral("?")));
    // A device without parity or data bits at all (a pseudo-terminal) is not
    // misconfigured by the shown choice.
    if (device.dwSettableParams & SP_PARITY)
        check("Parity", shown.parity, CaptionOf(kParityChoices, inForce.Parity, QStringLiteral("Space")));
    if (shown.checkParity != (inForce.fParity != 0))
        differs << QStringLiteral("Check Parity %1").arg(OnOff(inForce.fParity));
    if (device.dwSettableParams & SP_DATABITS) {
        const BYTE dataBits = DataBitsInForce(inForce.ByteSize, device);
        check("Data bits", shown.dataBits, CaptionOf(kDataBitChoices, dataBits, QString::number(dataBits)));
    }
    if (inForce.fRtsControl == RTS_CONTROL_HANDSHAKE)
        differs << QStringLiteral("RTS Handshake");
    else if (shown.rtsOn != (inForce.fRtsControl == RTS_CONTROL_ENABLE))
        differs << QStringLiteral("RTS %1").arg(OnOff(inForce.fRtsControl == RTS_CONTROL_ENABLE));
    if (shown.dtrOn != (inForce.fDtrControl == DTR_CONTROL_ENABLE))
        differs << QStringLiteral("DTR %1").arg(OnOff(inForce.fDtrControl == DTR_CONTROL_ENABLE));
    if (differs.isEmpty()) return QString();
    return QStringLiteral("In force, not as shown: ") + differs.join(QStringLiteral(", "));
}
