#include "platform/foundation/Strings.h"

#include "platform/foundation/Utf8.h"

#include <locale.h>
#include <wchar.h>
#include <wctype.h>
#include <map>
#include <mutex>
#include <string>

namespace kilnware::platform {

namespace {

// The collation the host chose: the calling thread's own (uselocale), else the process's
// (setlocale, which std::locale::global calls too). Where the host chose none ("C" is where every
// process starts), the environment's; C.UTF-8 where that names nothing usable. Locales are made
// once per name and kept.
locale_t collationLocale() {
    if (const locale_t thread = uselocale(static_cast<locale_t>(nullptr));
        thread != LC_GLOBAL_LOCALE) {
        return thread;
    }
    const char* chosen = setlocale(LC_COLLATE, nullptr);
    std::string name = chosen ? chosen : "";
    if (name == "C" || name == "POSIX") {
        name.clear();  // the environment's
    }
    static std::mutex mutex;
    // Never destroyed: the locales stay reachable for as long as any thread may compare.
    static auto* const made = new std::map<std::string, locale_t>;
    std::lock_guard lock(mutex);
    auto [entry, fresh] = made->try_emplace(name, static_cast<locale_t>(nullptr));
    if (fresh) {
        entry->second = newlocale(LC_COLLATE_MASK | LC_CTYPE_MASK, name.c_str(),
                                  static_cast<locale_t>(nullptr));
        if (!entry->second) {
            entry->second = newlocale(LC_COLLATE_MASK | LC_CTYPE_MASK, "C.UTF-8",
                                      static_cast<locale_t>(nullptr));
        }
    }
    return entry->second;
}

// Decodes UTF-8 to wide characters, folding case on the way. A byte that is no valid UTF-8 stands
// for itself, so that every text still compares.
std::wstring foldedWide(std::string_view text, locale_t locale) {
    std::wstring out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t start = i;
        const char32_t code =
            nextCodePoint(text, i).value_or(static_cast<unsigned char>(text[start]));
        const auto wide = static_cast<wint_t>(code);
        out.push_back(static_cast<wchar_t>(locale ? towlower_l(wide, locale) : towlower(wide)));
    }
    return out;
}

}  // namespace

std::string lastPathComponent(std::string_view path) {
    while (path.size() > 1 && path.back() == '/') {
        path.remove_suffix(1);
    }
    if (path == "/") {
        return "/";
    }
    auto slash = path.rfind('/');
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

std::string stringByDeletingPathExtension(std::string_view path) {
    auto slash = path.rfind('/');
    std::size_t nameStart = slash == std::string_view::npos ? 0 : slash + 1;
    auto dot = path.rfind('.');
    if (dot == std::string_view::npos || dot <= nameStart) {
        return std::string(path);
    }
    return std::string(path.substr(0, dot));
}

int localizedCaseInsensitiveCompare(std::string_view a, std::string_view b) {
    locale_t locale = collationLocale();
    std::wstring left = foldedWide(a, locale);
    std::wstring right = foldedWide(b, locale);
    int order = locale ? wcscoll_l(left.c_str(), right.c_str(), locale)
                       : wcscmp(left.c_str(), right.c_str());
    return order < 0 ? -1 : order > 0 ? 1 : 0;
}

}  // namespace kilnware::platform
