#include "json.h"

template <> Json::State Json::nextChar<Json::Start>(char c) {
    if (c == '[') {
        closeChar = ']';
        isArray = true;
        return ValueStart;
    }
    if (c == '{') {
        closeChar = '}';
        return isArray ? ValueStart : KeyStart;
    }
    return Error;
}

template <> Json::State Json::nextChar<Json::KeyStart>(char c) {
    if (isString(c)) {
        keyQuote = c;
        return Key;
    }
    keyQuote = 0;
    key += c;
    return Key;
}

template <> Json::State Json::nextChar<Json::Key>(char c) {
    return keyQuote == 0 && c == ':' ? ValueStart : AfterKey;
}

template <> Json::State Json::nextChar<Json::AfterKey>(char c) {
    return c == ':' ? ValueStart : Error;
}

template <> Json::State Json::nextChar<Json::ValueStart>(char c) {
    if (char close = isObjectStart(c)) {
        valueOpen = c;
        valueClose = close;
        isObject = true;
        value += c;
        return Value;
    }
    if (isString(c)) {
        valueClose = c;
        valueOpen = 0;
        return Value;
    }
    valueOpen = valueClose = 0;
    value += c;
    return Value;
}

template <> Json::State Json::nextChar<Json::Value>(char c) {
    if (valueClose != 0) { // the closing quote, or the bracket that closes the nested value
        if (isObject)
            value += c;
        return AfterValue;
    }
    if (isWhitespace(c))
        return AfterValue;
    return c == ',' ? afterSeparator() : End; // or the document's closing bracket
}

template <> Json::State Json::nextChar<Json::AfterValue>(char c) {
    if (c == ',')
        return afterSeparator();
    if (c == closeChar)
        return End;
    return Error;
}

template <> Json::State Json::nextChar<Json::End>(char c) {
    return isWhitespace(c) ? End : Error;
}

bool Json::parse(std::string const& text) {
    // A nested value is read from the pair that holds it; appending to pairs may move that text.
    for (auto const& pair : pairs)
        if (&text == &pair.second.value || &text == &pair.first) {
            std::string const copy(text);
            return parse(copy);
        }
    errorPosition = -1;
    State state = Start;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (state != Key && state != Value && isWhitespace(c))
            continue;
        State next = Error;
        switch (state) {
        case Start:
            next = nextChar<Start>(c);
            break;
        case KeyStart:
            next = nextChar<KeyStart>(c);
            break;
        case Key:
            next = nextChar<Key>(c);
            break;
        case AfterKey:
            next = nextChar<AfterKey>(c);
            break;
        case ValueStart:
            next = nextChar<ValueStart>(c);
            break;
        case Value:
            next = nextChar<Value>(c);
            break;
        case AfterValue:
            next = nextChar<AfterValue>(c);
            break;
        case End:
            next = nextChar<End>(c);
            break;
        case Error:
            break;
        }
        if (state == Value && next != Value) {
            ObjectValue read{std::move(value), isObject};
            if (!keep || keep(key, read))
                pairs.emplace_back(std::move(key), std::move(read));
            key.clear();
            value.clear();
            isObject = false;
            keyQuote = 0;
            valueClose = 0;
        }
        state = next;
        if (state == Error) {
            errorPosition = static_cast<int32_t>(i);
            return false;
        }
        if (state == Key || state == Value) {
            std::size_t end = i + 1;
            if (state == Value && valueOpen != 0) {
                // Inside a nested value only its own kind of bracket counts, quoted or not; the one that
                // closes it is left to nextChar.
                for (unsigned depth = 1; end < text.size(); ++end) {
                    if (text[end] == valueOpen)
                        ++depth;
                    else if (text[end] == valueClose && --depth == 0)
                        break;
                }
            } else {
                while (end < text.size() && !matters(state, text[end]))
                    ++end;
            }
            (state == Key ? key : value).append(text, i + 1, end - i - 1);
            i = end - 1;
        }
    }
    return true;
}

bool Json::matters(State state, char c) const {
    if (state == Key) // an unquoted key has 0 as its quote, so a NUL byte ends it
        return c == keyQuote || (keyQuote == 0 && (c == ':' || isWhitespace(c)));
    if (valueClose != 0)
        return c == valueClose;
    return isWhitespace(c) || c == ',' || c == closeChar;
}
