#include "console/app/message_boxes.h"

#include <QMessageBox>
#include <QPushButton>
#include <atomic>

#include "console/core/language.h"

namespace orvane::console {
namespace {

std::atomic<std::uint32_t> g_language{kEnglish};

bool Chinese() { return g_language.load() == kSimplifiedChinese; }

// Boxes have no caption text of their own; the program's name stands where Windows puts "Error".
constexpr const char* kBoxTitle = "Orvane Agent";

}  // namespace

void SetMessageLanguage(std::uint32_t languageId) { g_language = languageId; }
std::uint32_t MessageLanguage() { return g_language; }

void ShowConsoleMessage(const QString& text) {
    QMessageBox box(QMessageBox::NoIcon, QString::fromUtf8(kBoxTitle), text, QMessageBox::Ok);
    box.setObjectName("ConsoleMessage");
    box.setWindowModality(Qt::ApplicationModal);
    box.button(QMessageBox::Ok)->setText(Chinese() ? QString::fromUtf8("确定") : QStringLiteral("OK"));
    box.exec();
}

bool AskConsoleYesNo(const QString& caption, const QString& text) {
    QMessageBox box(QMessageBox::Question, caption, text, QMessageBox::Yes | QMessageBox::No);
    box.setObjectName("ConsoleQuestion");
    box.setWindowModality(Qt::ApplicationModal);
    box.button(QMessageBox::Yes)->setText(Chinese() ? QString::fromUtf8("是(&Y)") : QStringLiteral("&Yes"));
    box.button(QMessageBox::No)->setText(Chinese() ? QString::fromUtf8("否(&N)") : QStringLiteral("&No"));
    // Deleting is the question asked; an accidental Enter must not confirm it.
    box.setDefaultButton(QMessageBox::No);
    return box.exec() == QMessageBox::Yes;
}

}  // namespace orvane::console
