// The line that tells what is in force when it is not what the selectors show,
// for the kinds of device the program meets: what the driver cannot carry at all
// is no misconfiguration; what it quietly changes is told.
#include "line_report.h"

#include <gtest/gtest.h>

namespace {

struct Row {
    const char* device;  // the case's name
    COMMPROP properties;
    BYTE byteSizeInForce;
    const char* dataBitsShown;
    const char* parityShown;
    const char* expected;
};
void PrintTo(const Row& row, std::ostream* out) { *out << row.device; }

constexpr DWORD kAll = SP_BAUD | SP_STOPBITS | SP_PARITY_CHECK | SP_DATABITS | SP_PARITY;
constexpr std::uint16_t kEveryParity = PARITY_NONE | PARITY_ODD | PARITY_EVEN | PARITY_MARK | PARITY_SPACE;
constexpr COMMPROP kPseudoTerminal{SP_BAUD | SP_STOPBITS | SP_PARITY_CHECK, DATABITS_8, PARITY_NONE};
constexpr COMMPROP kUart{kAll, DATABITS_5 | DATABITS_6 | DATABITS_7 | DATABITS_8, kEveryParity};
constexpr COMMPROP kFtdi{kAll, DATABITS_7 | DATABITS_8, kEveryParity};

class InForce : public testing::TestWithParam<Row> {};

TEST_P(InForce, NamesWhatTheChipRunsWhereItDiffers) {
    const Row& row = GetParam();
    DCB inForce;
    inForce.BaudRate = 57600;
    inForce.ByteSize = row.byteSizeInForce;
    inForce.Parity = NOPARITY;
    ShownSettings shown;
    shown.baud = QStringLiteral("57600");
    shown.stopBits = QStringLiteral("One Stop Bit");
    shown.parity = QString::fromLatin1(row.parityShown);
    shown.dataBits = QString::fromLatin1(row.dataBitsShown);
    EXPECT_EQ(InForceReport(inForce, shown, row.properties).toStdString(), row.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Devices, InForce,
    testing::Values(Row{"PtyForcedTo8N", kPseudoTerminal, 8, "Seven", "Odd", ""},
                    Row{"UartFiveBits", kUart, 5, "Five", "None", ""},
                    Row{"UartParityRefused", kUart, 7, "Seven", "Mark", "In force, not as shown: Parity None"},
                    Row{"FtdiKeepsCs5ButRunsEight", kFtdi, 5, "Five", "None", "In force, not as shown: Data bits Eight"},
                    Row{"FtdiMakesSixEight", kFtdi, 8, "Six", " none ", "In force, not as shown: Data bits Eight"}),
    [](const testing::TestParamInfo<Row>& info) { return std::string(info.param.device); });

}  // namespace
