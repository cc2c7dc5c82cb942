// language.ini as found in the program folder (an administrator may translate it): the bytes
// are the file, read by the console's text table for both languages, the Options dialog's and
// the Online users view's texts, and each text used as a "%s" format the way the console does.
// The console never writes this file, so there is no write to round-trip.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/text.h"
#include "console/core/language.h"
#include "tests/fuzz/fuzz_support.h"

using namespace orvane;
using namespace orvane::console;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool ready = (fuzzing::InstallDiscardLog(), true);
    (void)ready;
    if (size > 64 * 1024) return -1;
    const std::string path = fuzzing::ScratchDir::Get() / "language.ini";
    fuzzing::WriteWhole(path, std::string_view(reinterpret_cast<const char*>(data), size));

    for (std::uint32_t id : {kEnglish, kSimplifiedChinese, 7u}) {
        LanguageTable table;
        if (table.Load(path, id)) {
            ORVANE_FUZZ_CHECK(table.FailedKey() == nullptr);
            for (std::size_t i = 0; i < kTextCount; ++i) {
                const auto slot = static_cast<TextId>(i);
                const std::string& text = table.Text(slot);
                ORVANE_FUZZ_CHECK(Utf16Length(text) < SlotOf(slot).capacity);
                const std::string shown = FormatWithArgument(text, "10.0.0.1");
                ORVANE_FUZZ_CHECK(shown.size() <= text.size() + 8);
            }
        } else {
            ORVANE_FUZZ_CHECK(table.FailedKey() != nullptr && table.Text(TextId::About_Caption).empty());
        }
        const OptionTexts o = LoadOptionTexts(path, id);
        ORVANE_FUZZ_CHECK(Utf16Length(o.autoRun) <= 35 && Utf16Length(o.caption) <= 15 &&
                          Utf16Length(o.cancel) <= 15);
        const UsersTexts u = LoadUsersTexts(path, id);
        (void)FormatWithArgument(u.pending, "3");
        (void)FormatWithArgument(u.count, "12");
    }
    return 0;
}
