#include "sensor/RegisterTableBuilder.h"

#include <cctype>
#include <cstdio>
#include <deque>
#include <map>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>

#include "QuelnorBase/Logger.h"

namespace quelnor::detail {

namespace {

// Used while other translation units build their tables at load, so it must need no run-time construction.
constexpr std::string_view ELLIPSIS = "\xE2\x80\xA6"; // …

struct AliasSpec {
    std::string name;
    uint32_t value;
};

struct FieldSpec {
    std::string name; // may hold a "{Kn+C:W}" template
    uint32_t start;
    uint32_t len;
    uint32_t defaultValue;
    std::vector<AliasSpec> aliases;
};

struct RegisterHead {
    std::string first;
    std::string last; // empty for a single register
    uint32_t address;
};

struct Layout {
    std::string last;
    std::vector<FieldSpec> fields;
    bool used = false;
};

[[noreturn]] void fail(const std::string& what) { throw std::logic_error(what); }

std::string trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t\n");
    size_t e = s.find_last_not_of(" \t\n");
    return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

std::vector<std::string> split(const std::string& s, char separator) {
    std::vector<std::string> parts;
    std::string part;
    std::istringstream in(s);
    while (std::getline(in, part, separator)) {
        part = trim(part);
        if (!part.empty()) {
            parts.push_back(part);
        }
    }
    return parts;
}

std::vector<std::string> words(const std::string& s) {
    std::vector<std::string> out;
    std::istringstream in(s);
    std::string w;
    while (in >> w) {
        out.push_back(w);
    }
    return out;
}

uint32_t number(const std::string& text, const std::string& context) {
    try {
        size_t used = 0;
        unsigned long value = std::stoul(text, &used, 0);
        if (used != text.size() || value > 0xFFFFFFFFul) {
            fail("bad number '" + text + "' in " + context);
        }
        return static_cast<uint32_t>(value);
    } catch (const std::invalid_argument&) {
        fail("bad number '" + text + "' in " + context);
    } catch (const std::out_of_range&) {
        fail("bad number '" + text + "' in " + context);
    }
}

// "name address" or "first … last address + 4n"
RegisterHead parseHead(const std::string& text) {
    std::vector<std::string> w = words(text);
    RegisterHead head;
    if (w.size() == 2) {
        head.first = w[0];
        head.address = number(w[1], text);
    } else if (w.size() == 6 && w[1] == ELLIPSIS && w[4] == "+" && w[5] == "4n") {
        head.first = w[0];
        head.last = w[2];
        head.address = number(w[3], text);
    } else {
        fail("bad register entry '" + text + "'");
    }
    return head;
}

std::vector<FieldSpec> parseFields(const std::string& text) {
    std::vector<FieldSpec> fields;
    for (const std::string& item : split(text, ';')) {
        std::string aliasText;
        std::string head = item;
        size_t brace = item.find(" {");
        if (brace != std::string::npos) {
            head = trim(item.substr(0, brace));
            aliasText = trim(item.substr(brace + 1));
            if (aliasText.size() < 2 || aliasText.back() != '}') {
                fail("bad aliases in '" + item + "'");
            }
            aliasText = aliasText.substr(1, aliasText.size() - 2);
        }
        std::vector<std::string> w = words(head);
        if (w.size() != 2) {
            fail("bad field '" + item + "'");
        }
        FieldSpec field{w[0], 0, 0, 0, {}};
        std::string position = w[1];
        size_t eq = position.find('=');
        if (eq != std::string::npos) {
            field.defaultValue = number(position.substr(eq + 1), item);
            position = position.substr(0, eq);
        }
        size_t slash = position.find('/');
        if (slash == std::string::npos) {
            fail("bad field position in '" + item + "'");
        }
        field.start = number(position.substr(0, slash), item);
        field.len = number(position.substr(slash + 1), item);
        for (const std::string& alias : split(aliasText, ',')) {
            size_t aeq = alias.find('=');
            if (aeq == std::string::npos) {
                fail("bad alias '" + alias + "'");
            }
            field.aliases.push_back({trim(alias.substr(0, aeq)), number(trim(alias.substr(aeq + 1)), alias)});
        }
        fields.push_back(std::move(field));
    }
    return fields;
}

// Expands "{Kn+C:W}" in a field name for register number n.
std::string expandName(const std::string& name, uint32_t n) {
    size_t open = name.find('{');
    if (open == std::string::npos) {
        return name;
    }
    size_t close = name.find('}', open);
    if (close == std::string::npos) {
        fail("bad field name template '" + name + "'");
    }
    std::string expr = name.substr(open + 1, close - open - 1);
    uint32_t width = 1;
    size_t colon = expr.find(':');
    if (colon != std::string::npos) {
        width = number(expr.substr(colon + 1), name);
        expr = expr.substr(0, colon);
    }
    size_t nPos = expr.find('n');
    if (nPos == std::string::npos) {
        fail("bad field name template '" + name + "'");
    }
    uint32_t mult = nPos == 0 ? 1 : number(expr.substr(0, nPos), name);
    uint32_t add = 0;
    if (nPos + 1 < expr.size()) {
        if (expr[nPos + 1] != '+') {
            fail("bad field name template '" + name + "'");
        }
        add = number(expr.substr(nPos + 2), name);
    }
    char digits[16];
    std::snprintf(digits, sizeof digits, "%0*u", static_cast<int>(width), mult * n + add);
    return name.substr(0, open) + digits + expandName(name.substr(close + 1), n);
}

// Fields for a register nobody addresses by name: count fields filling the word, named by their bits.
std::vector<FieldSpec> generatedFields(uint32_t count) {
    std::vector<FieldSpec> fields;
    uint32_t width = count == 0 ? 0 : 32 / count;
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t start = i * width;
        uint32_t len = i + 1 == count ? 32 - start : width;
        uint32_t hi = start + len - 1;
        std::string name = len == 1 ? "Reserved_" + std::to_string(start)
                                    : "Reserved_" + std::to_string(hi) + "_" + std::to_string(start);
        fields.push_back({name, start, len, 0, {}});
    }
    return fields;
}

const char* storeName(const std::string& name) {
    static std::deque<std::string> names; // never shrinks: rows point into it
    names.push_back(name);
    return names.back().c_str();
}

// The series' register names: "stem" + number, the number being n with the first name's digit count,
// or, when the first name ends in its own address, the register's address in four hex digits.
std::vector<std::string> seriesNames(const RegisterHead& head) {
    if (head.last.empty()) {
        return {head.first};
    }
    auto suffixStart = [](const std::string& s) {
        size_t i = s.size();
        while (i > 0 && std::isxdigit(static_cast<unsigned char>(s[i - 1])) &&
               !std::islower(static_cast<unsigned char>(s[i - 1]))) {
            --i;
        }
        return i;
    };
    size_t fs = suffixStart(head.first);
    size_t ls = suffixStart(head.last);
    std::string stem = head.first.substr(0, fs);
    if (fs == head.first.size() || head.last.substr(0, ls) != stem) {
        fail("bad series '" + head.first + " … " + head.last + "'");
    }
    std::string firstSuffix = head.first.substr(fs);
    std::string lastSuffix = head.last.substr(ls);
    std::vector<std::string> names;
    char text[16];
    std::snprintf(text, sizeof text, "%04X", head.address);
    if (firstSuffix == text) {
        uint32_t lastAddress = number("0x" + lastSuffix, head.last);
        if (lastAddress < head.address || (lastAddress - head.address) % 4 != 0) {
            fail("bad series '" + head.first + " … " + head.last + "'");
        }
        for (uint32_t a = head.address; a <= lastAddress; a += 4) {
            std::snprintf(text, sizeof text, "%04X", a);
            names.push_back(stem + text);
        }
    } else {
        auto decimal = [](const std::string& s) {
            return !s.empty() && s.size() < 6 &&
                   s.find_first_not_of("0123456789") == std::string::npos;
        };
        if (!decimal(firstSuffix) || !decimal(lastSuffix)) {
            fail("bad series '" + head.first + " … " + head.last + "'");
        }
        // numbers written with leading zeros: decimal, not octal
        uint32_t firstIndex = static_cast<uint32_t>(std::stoul(firstSuffix, nullptr, 10));
        uint32_t lastIndex = static_cast<uint32_t>(std::stoul(lastSuffix, nullptr, 10));
        if (firstIndex != 0 || lastIndex < firstIndex) {
            fail("bad series '" + head.first + " … " + head.last + "'");
        }
        for (uint32_t n = 0; n <= lastIndex; ++n) {
            std::snprintf(text, sizeof text, "%0*u", static_cast<int>(firstSuffix.size()), n);
            names.push_back(stem + text);
        }
    }
    return names;
}

} // namespace

std::vector<RegisterInfo> expandRegisterTable(const std::vector<RegisterBlock>& blocks,
                                              const std::vector<RegisterLayout>& layouts) {
    // Layouts by the full name of their (first) register, with the address for a cross-check.
    std::map<std::string, std::pair<uint32_t, Layout>> layoutByName;
    for (const RegisterLayout& layout : layouts) {
        RegisterHead head = parseHead(layout.registers);
        if (!layoutByName.emplace(head.first, std::make_pair(head.address, Layout{head.last, parseFields(layout.fields)}))
                 .second) {
            fail("two layouts for " + head.first);
        }
    }

    std::vector<RegisterInfo> rows;
    std::set<std::string> registerNames;
    std::set<uint32_t> addresses;
    for (const RegisterBlock& block : blocks) {
        for (const std::string& entry : split(block.registers, ',')) {
            size_t open = entry.rfind('(');
            if (open == std::string::npos || entry.back() != ')') {
                fail("bad register entry '" + entry + "'");
            }
            std::string counts = entry.substr(open + 1, entry.size() - open - 2);
            RegisterHead head = parseHead(std::string(block.prefix) + trim(entry.substr(0, open)));
            if (!head.last.empty()) {
                head.last = block.prefix + head.last;
            }
            bool each = false;
            if (counts.size() > 5 && counts.substr(counts.size() - 5) == " each") {
                each = true;
                counts = counts.substr(0, counts.size() - 5);
            }
            if (each == head.last.empty()) {
                fail("'each' goes with a series and only there: '" + entry + "'");
            }
            uint32_t fieldCount = 0;
            uint32_t aliasCount = 0;
            size_t plus = counts.find('+');
            if (plus == std::string::npos) {
                fieldCount = number(counts, entry);
            } else {
                if (counts.back() != 'a') {
                    fail("bad row counts in '" + entry + "'");
                }
                fieldCount = number(counts.substr(0, plus), entry);
                aliasCount = number(counts.substr(plus + 1, counts.size() - plus - 2), entry);
            }

            std::vector<FieldSpec> fields;
            auto found = layoutByName.find(head.first);
            if (found != layoutByName.end()) {
                if (found->second.first != head.address || found->second.second.last != head.last) {
                    fail(head.first + ": layout address or series differs from the register list");
                }
                found->second.second.used = true;
                fields = found->second.second.fields;
            } else if (aliasCount != 0) {
                fail(head.first + ": aliases need a layout");
            } else {
                fields = generatedFields(fieldCount);
            }
            uint32_t aliases = 0;
            for (const FieldSpec& f : fields) {
                aliases += static_cast<uint32_t>(f.aliases.size());
                if (f.len == 0 || f.start + f.len > 32) {
                    fail(head.first + "." + f.name + " does not lie within bits 0 to 31");
                }
            }
            if (fields.size() != fieldCount || aliases != aliasCount) {
                fail(head.first + ": layout row counts differ from the register list");
            }

            std::vector<std::string> names = seriesNames(head);
            for (uint32_t n = 0; n < names.size(); ++n) {
                uint32_t address = head.address + 4 * n;
                if (!registerNames.insert(names[n]).second) {
                    fail("register name " + names[n] + " appears twice");
                }
                if (!addresses.insert(address).second) {
                    fail("address of " + names[n] + " appears twice");
                }
                rows.push_back(RegisterInfo::register_row(storeName(names[n]), address));
                for (const FieldSpec& f : fields) {
                    rows.push_back(RegisterInfo::field_row(storeName(expandName(f.name, n)), f.start, f.len,
                                                           f.defaultValue));
                    for (const AliasSpec& a : f.aliases) {
                        rows.push_back(RegisterInfo::alias_row(storeName(a.name), a.value));
                    }
                }
            }
        }
    }
    for (const auto& [name, layout] : layoutByName) {
        if (!layout.second.used) {
            fail("layout for " + name + " matches no register of the list");
        }
    }
    return rows;
}

std::vector<RegisterLayout> joinLayouts(std::vector<RegisterLayout> own, std::span<const RegisterLayout> shared) {
    own.insert(own.end(), shared.begin(), shared.end());
    return own;
}

bool fillRegisterTable(RegisterInfo* rows, uint32_t count, const std::vector<RegisterBlock>& blocks,
                       const std::vector<RegisterLayout>& layouts, const char* tableName) {
    try {
        std::vector<RegisterInfo> expanded = expandRegisterTable(blocks, layouts);
        if (expanded.size() != count) {
            fail(std::to_string(expanded.size()) + " rows instead of " + std::to_string(count));
        }
        for (uint32_t i = 0; i < count; ++i) {
            rows[i] = expanded[i];
        }
        return true;
    } catch (const std::exception& e) {
        QN_CRITICAL("%s: %s", tableName, e.what());
        return false;
    }
}

} // namespace quelnor::detail
