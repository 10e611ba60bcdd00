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

// The bit GetCommProperties uses for the data bits or parity a caption names,
// or 0 when the caption names none of the items.
std::uint16_t DataBitsMask(const QString& shown) {
    static constexpr std::uint16_t kMasks[] = {DATABITS_5, DATABITS_6, DATABITS_7, DATABITS_8};
    for (size_t i = 0; i < kDataBitChoices.size(); ++i)
        if (Same(shown, QString::fromLatin1(kDataBitChoices[i].item))) return kMasks[i];
    return 0;
}

std::uint16_t ParityMask(const QString& shown) {
    for (const SettingChoice& choice : kParityChoices) {
        if (!Same(shown, QString::fromLatin1(choice.item))) continue;
        switch (choice.value) {
        case EVENPARITY: return PARITY_EVEN;
        case MARKPARITY: return PARITY_MARK;
        case ODDPARITY: return PARITY_ODD;
        default: return PARITY_NONE;
        }
    }
    return 0;
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
    // A device that cannot carry the shown choice at all (a pseudo-terminal has
    // 8 data bits and no parity) is not misconfigured by it.
    const std::uint16_t parity = ParityMask(shown.parity);
    if (parity == 0 || (device.wSettableStopParity & parity))
        check("Parity", shown.parity, CaptionOf(kParityChoices, inForce.Parity, QStringLiteral("Space")));
    if (shown.checkParity != (inForce.fParity != 0))
        differs << QStringLiteral("Check Parity %1").arg(OnOff(inForce.fParity));
    const std::uint16_t dataBits = DataBitsMask(shown.dataBits);
    if (dataBits == 0 || (device.wSettableData & dataBits))
        check("Data bits", shown.dataBits, CaptionOf(kDataBitChoices, inForce.ByteSize, QString::number(inForce.ByteSize)));
    if (inForce.fRtsControl == RTS_CONTROL_HANDSHAKE)
        differs << QStringLiteral("RTS Handshake");
    else if (shown.rtsOn != (inForce.fRtsControl == RTS_CONTROL_ENABLE))
        differs << QStringLiteral("RTS %1").arg(OnOff(inForce.fRtsControl == RTS_CONTROL_ENABLE));
    if (shown.dtrOn != (inForce.fDtrControl == DTR_CONTROL_ENABLE))
        differs << QStringLiteral("DTR %1").arg(OnOff(inForce.fDtrControl == DTR_CONTROL_ENABLE));
    if (differs.isEmpty()) return QString();
    return QStringLiteral("In force, not as shown: ") + differs.join(QStringLiteral(", "));
}
