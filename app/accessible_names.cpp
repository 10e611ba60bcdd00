// What each control is, for screen readers: a caption alone ("On", "ASCII")
// does not say which group it belongs to.
#include "Unit1.h"

#include "history_view.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPushButton>
#include <QRadioButton>

void TForm1::NameControls() {
    const std::pair<QWidget*, const char*> names[] = {
        {MenuBar, "Menu bar"},
        {GroupBox4, "Morrel COM Port Tool"},
        {GroupBox1, "Settings"},
        {Label1, "Com Port"},
        {Label2, "Baud"},
        {Label3, "Stop Bits"},
        {Label4, "Parity"},
        {Label5, "Data Bits"},
        {CheckBox1, "Check Parity"},
        {ComboBox1, "Com Port"},
        {ComboBox2, "Baud"},
        {ComboBox3, "Stop Bits"},
        {ComboBox4, "Parity"},
        {ComboBox5, "Data Bits"},
        {GroupBox3, "Communication"},
        {Edit1, "Text to send"},
        {Button1, "Send"},
        {CheckBox4, "Send as typing"},
        {CheckBox5, "Send as number"},
        {GroupBox5, "Format"},
        {RadioButton1, "Format ASCII"},
        {RadioButton2, "Format HEX"},
        {RadioButton3, "Format DEC"},
        {Button2, "Clear History"},
        {GroupBox9, "History frame"},
        {Memo1, "History"},
        {GroupBox2, "Commands"},
        {GroupBox6, "RTS"},
        {RadioButton4, "RTS On"},
        {RadioButton5, "RTS Off"},
        {GroupBox7, "DTR"},
        {RadioButton6, "DTR Off"},
        {RadioButton7, "DTR On"},
        {Button5, "Close"},
        {Button3, "Connect"},
        {Button4, "Disconnect"},
    };
    for (const auto& [control, name] : names) control->setAccessibleName(QString::fromLatin1(name));
    // On Linux a combo box's accessible name is its text ("COM1", "9600"); what
    // it is for comes from the label that names it, as a relation.
    const std::pair<QLabel*, QComboBox*> labels[] = {
        {Label1, ComboBox1}, {Label2, ComboBox2}, {Label3, ComboBox3}, {Label4, ComboBox4}, {Label5, ComboBox5}};
    for (const auto& [label, combo] : labels) label->setBuddy(combo);
}
