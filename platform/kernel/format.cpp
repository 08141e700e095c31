#include "kernel/format.h"

#include <cstdio>

namespace platform {
namespace {

template <typename Ch>
struct Spec {
  bool left = false, plus = false, space = false, alt = false, zero = false;
  int width = -1, precision = -1;
  enum { None, Short, Long, LongLong, Size, Wide, NarrowLen } length = None;
};

template <typename Out>
void Pad(Out& out, size_t n, char16_t c) {
  for (size_t i = 0; i < n; ++i) out.push_back(static_cast<typename Out::value_type>(c));
}

template <typename Out>
void EmitText(Out& out, const std::u16string& text, const Spec<char>& spec) {
  std::u16string t = text;
  if (spec.precision >= 0 && t.size() > static_cast<size_t>(spec.precision)) t.resize(spec.precision);
  size_t pad = spec.width > 0 && t.size() < static_cast<size_t>(spec.width) ? spec.width - t.size() : 0;
  if (!spec.left) Pad(out, pad, u' ');
  for (char16_t c : t) {
    if constexpr (sizeof(typename Out::value_type) == 1)
      out.push_back(c > 0xFF ? '?' : static_cast<char>(c));
    else
      out.push_back(c);
  }
  if (spec.left) Pad(out, pad, u' ');
}

template <typename Out>
void EmitNumber(Out& out, const Spec<char>& specIn, char conv, unsigned long long magnitude, bool negative) {
  Spec<char> spec = specIn;
  char fmt[16];
  char* f = fmt;
  *f++ = '%';
  if (spec.alt) *f++ = '#';
  if (conv == 'p') conv = 'X';
  *f++ = 'l';
  *f++ = 'l';
  *f++ = (conv == 'd' || conv == 'i') ? 'u' : conv;
  *f = 0;
  char digits[64];
  std::snprintf(digits, sizeof digits, fmt, magnitude);
  std::string body = digits;
  if (spec.precision >= 0) {
    if (spec.precision == 0 && magnitude == 0) body.clear();
    size_t prefix = (spec.alt && (conv == 'x' || conv == 'X') && magnitude != 0) ? 2 : 0;
    const size_t digitCount = body.size() - prefix;
    if (digitCount < static_cast<size_t>(spec.precision))
      body.insert(prefix, static_cast<size_t>(spec.precision) - digitCount, '0');
    spec.zero = false;
  }
  std::string sign;
  if (negative)
    sign = "-";
  else if ((conv == 'd' || conv == 'i') && spec.plus)
    sign = "+";
  else if ((conv == 'd' || conv == 'i') && spec.space)
    sign = " ";
  size_t total = sign.size() + body.size();
  size_t pad = spec.width > 0 && total < static_cast<size_t>(spec.width) ? spec.width - total : 0;
  std::u16string text;
  if (!spec.left && !spec.zero) Pad(text, pad, u' ');
  for (char c : sign) text.push_back(c);
  if (!spec.left && spec.zero) Pad(text, pad, u'0');
  for (char c : body) text.push_back(c);
  if (spec.left) Pad(text, pad, u' ');
  Spec<char> plain;
  EmitText(out, text, plain);
}

std::u16string FromNarrow(const char* s, int maxLen) {
  std::u16string out;
  if (!s) return u"(null)";
  for (int i = 0; s[i] && (maxLen < 0 || i < maxLen); ++i) out.push_back(static_cast<unsigned char>(s[i]));
  return out;
}

std::u16string FromWide(const WCHAR* s, int maxLen) {
  if (!s) return u"(null)";
  std::u16string out;
  for (int i = 0; s[i] && (maxLen < 0 || i < maxLen); ++i) out.push_back(s[i]);
  return out;
}

template <typename Ch, typename Out>
void FormatImpl(Out& out, const Ch* format, va_list args) {
  constexpr bool kWideFormat = sizeof(Ch) == 2;
  if (!format) return;
  for (const Ch* p = format; *p; ++p) {
    if (*p != '%') {
      if constexpr (sizeof(typename Out::value_type) == 1)
        out.push_back(static_cast<char16_t>(*p) > 0xFF ? '?' : static_cast<char>(*p));
      else
        out.push_back(static_cast<char16_t>(*p));
      continue;
    }
    ++p;
    if (*p == '%') {
      out.push_back('%');
      continue;
    }
    Spec<char> spec;
    for (;; ++p) {
      if (*p == '-') spec.left = true;
      else if (*p == '+') spec.plus = true;
      else if (*p == ' ') spec.space = true;
      else if (*p == '#') spec.alt = true;
      else if (*p == '0') spec.zero = true;
      else break;
    }
    if (*p == '*') {
      spec.width = va_arg(args, int);
      if (spec.width < 0) {
        spec.left = true;
        spec.width = -spec.width;
      }
      ++p;
    } else {
      while (*p >= '0' && *p <= '9') spec.width = (spec.width < 0 ? 0 : spec.width) * 10 + (*p++ - '0');
    }
    if (*p == '.') {
      ++p;
      spec.precision = 0;
      if (*p == '*') {
        spec.precision = va_arg(args, int);
        ++p;
      } else {
        while (*p >= '0' && *p <= '9') spec.precision = spec.precision * 10 + (*p++ - '0');
      }
    }
    // Length prefixes.
    if (*p == 'h') {
      ++p;
      spec.length = Spec<char>::Short;
      if (*p == 'h') ++p;
      if (*p == 's' || *p == 'c') spec.length = Spec<char>::NarrowLen;
    } else if (*p == 'l') {
      ++p;
      spec.length = Spec<char>::Long;
      if (*p == 'l') {
        ++p;
        spec.length = Spec<char>::LongLong;
      }
    } else if (*p == 'w') {
      ++p;
      spec.length = Spec<char>::Wide;
    } else if (*p == 'I') {
      if (p[1] == '6' && p[2] == '4') {
        p += 3;
        spec.length = Spec<char>::LongLong;
      } else if (p[1] == '3' && p[2] == '2') {
        p += 3;
      } else {
        ++p;
        spec.length = Spec<char>::Size;
      }
    } else if (*p == 'z') {
      ++p;
      spec.length = Spec<char>::Size;
    }
    char conv = static_cast<char>(*p);
    if (!conv) break;
    switch (conv) {
      case 'd':
      case 'i': {
        long long v;
        if (spec.length == Spec<char>::LongLong) v = va_arg(args, long long);
        else if (spec.length == Spec<char>::Size) v = va_arg(args, ptrdiff_t);
        else if (spec.length == Spec<char>::Long) v = va_arg(args, long);  // LP64: long is 64-bit
        else v = va_arg(args, int);
        if (spec.length == Spec<char>::Long) v = static_cast<int32_t>(v);  // kernel long is 32-bit
        if (spec.length == Spec<char>::Short) v = static_cast<short>(v);
        bool neg = v < 0;
        unsigned long long mag = neg ? 0ULL - static_cast<unsigned long long>(v) : static_cast<unsigned long long>(v);
        EmitNumber(out, spec, conv, mag, neg);
        break;
      }
      case 'u':
      case 'x':
      case 'X':
      case 'o': {
        unsigned long long v;
        if (spec.length == Spec<char>::LongLong) v = va_arg(args, unsigned long long);
        else if (spec.length == Spec<char>::Size) v = va_arg(args, size_t);
        else if (spec.length == Spec<char>::Long) v = static_cast<uint32_t>(va_arg(args, unsigned long));
        else v = va_arg(args, unsigned int);
        if (spec.length == Spec<char>::Short) v = static_cast<unsigned short>(v);
        EmitNumber(out, spec, conv, v, false);
        break;
      }
      case 'p': {
        void* v = va_arg(args, void*);
        Spec<char> ps = spec;
        ps.zero = true;
        if (ps.width < 0) ps.width = static_cast<int>(2 * sizeof(void*));
        EmitNumber(out, ps, 'p', reinterpret_cast<uintptr_t>(v), false);
        break;
      }
      case 'c':
      case 'C': {
        int c = va_arg(args, int);
        std::u16string t(1, static_cast<char16_t>(c & ((conv == 'C') == kWideFormat && spec.length != Spec<char>::Wide ? 0xFF : 0xFFFF)));
        EmitText(out, t, spec);
        break;
      }
      case 's':
      case 'S': {
        bool wideArg;
        if (spec.length == Spec<char>::Wide || spec.length == Spec<char>::Long) wideArg = true;
        else if (spec.length == Spec<char>::NarrowLen) wideArg = false;
        else wideArg = (conv == 's') == kWideFormat;
        std::u16string t = wideArg ? FromWide(va_arg(args, const WCHAR*), spec.precision)
                                   : FromNarrow(va_arg(args, const char*), spec.precision);
        EmitText(out, t, spec);
        break;
      }
      case 'Z': {
        if (spec.length == Spec<char>::Wide) {
          const UNICODE_STRING* us = va_arg(args, const UNICODE_STRING*);
          std::u16string t = us && us->Buffer ? std::u16string(us->Buffer, us->Length / 2) : u"(null)";
          EmitText(out, t, spec);
        } else {
          const ANSI_STRING* as = va_arg(args, const ANSI_STRING*);
          std::u16string t;
          if (as && as->Buffer)
            for (USHORT i = 0; i < as->Length; ++i) t.push_back(static_cast<unsigned char>(as->Buffer[i]));
          else
            t = u"(null)";
          EmitText(out, t, spec);
        }
        break;
      }
      default:
        out.push_back('%');
        out.push_back(static_cast<typename Out::value_type>(conv));
        break;
    }
  }
}

}  // namespace

std::string FormatNarrow(const char* format, va_list args) {
  std::string out;
  va_list copy;
  va_copy(copy, args);
  FormatImpl<char>(out, format, copy);
  va_end(copy);
  return out;
}

std::u16string FormatWide(const WCHAR* format, va_list args) {
  std::u16string out;
  va_list copy;
  va_copy(copy, args);
  FormatImpl<WCHAR>(out, format, copy);
  va_end(copy);
  return out;
}

std::u16string Widen(const std::string& s) {
  std::u16string out;
  for (unsigned char c : s) out.push_back(c);
  return out;
}

std::string Narrow(const std::u16string& s) {
  std::string out;
  for (char16_t c : s) out.push_back(c > 0xFF ? '?' : static_cast<char>(c));
  return out;
}

}  // namespace platform
