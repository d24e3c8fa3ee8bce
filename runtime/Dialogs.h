#pragma once

#include <QString>
#include <optional>

namespace rt {

// Message-box styles: buttons plus icon, added together (52 = 48 + 4).
namespace MsgStyle {
constexpr int Ok = 0;
constexpr int YesNo = 4;
constexpr int Critical = 16;
constexpr int Exclamation = 48;
constexpr int Information = 64;
} // namespace MsgStyle

// Answers a message box returns.
constexpr int AnswerOk = 1;
constexpr int AnswerCancel = 2;
constexpr int AnswerYes = 6;
constexpr int AnswerNo = 7;

// The title every message box without one of its own shows.
QString applicationTitle();

// The title of the program's own error messages and questions, and the word
// for a drive that is not ready.
inline const QString kTitleTalmo = QStringLiteral("Talmo");
inline const QString kDeviceUnavailable = QStringLiteral("Device Unavailable.");

// "\r\n" between the lines of a message, as the program's texts are written.
inline const QString kCrLf = QStringLiteral("\r\n");

// Every question and message goes through here, so tests can answer them and
// read back what was shown.
class Dialogs {
public:
    virtual ~Dialogs() = default;
    // Modal. No title shows the application title. Returns the button pressed.
    virtual int msgBox(const QString &prompt, int style = MsgStyle::Ok,
                       const std::optional<QString> &title = std::nullopt) = 0;
    // Modal. The typed text, "" when cancelled.
    virtual QString inputBox(const QString &prompt, const QString &title,
                             const QString &defaultText) = 0;
};

} // namespace rt
