#include "serve/http/framer.h"

#include <algorithm>
#include <array>
#include <string_view>

namespace zurid::serve::http {

namespace {

bool IsTokenChar(char c) {
    const auto u = static_cast<unsigned char>(c);
    if (u <= 0x20 || u >= 0x7F) {
        return false;
    }
    static constexpr std::string_view kSeparators = "()<>@,;:\\\"/[]?={}";
    return kSeparators.find(c) == std::string_view::npos;
}

bool IsToken(QByteArrayView s) {
    if (s.isEmpty()) {
        return false;
    }
    for (const char c : s) {
        if (!IsTokenChar(c)) {
            return false;
        }
    }
    return true;
}

// A comma-separated header value holds this token (case ignored): "keep-alive, Upgrade".
bool ListHas(const QByteArray& value, QByteArrayView token) {
    for (const QByteArray& part : value.split(',')) {
        if (part.trimmed().compare(token, Qt::CaseInsensitive) == 0) {
            return true;
        }
    }
    return false;
}

constexpr std::array<QByteArrayView, 7> kMethods{"GET",   "HEAD",   "POST",   "PUT",
                                                 "PATCH", "DELETE", "OPTIONS"};

} // namespace

QByteArray HeaderValue(const HeaderList& headers, QByteArrayView name) {
    for (const auto& [key, value] : headers) {
        if (key.compare(name, Qt::CaseInsensitive) == 0) {
            return value;
        }
    }
    return {};
}

bool RequestHead::upgradesToWebSocket() const {
    return method == "GET" && ListHas(header("Upgrade"), "websocket") &&
           ListHas(header("Connection"), "upgrade");
}

bool RequestHead::keepAlive() const {
    const QByteArray connection = header("Connection");
    if (ListHas(connection, "close")) {
        return false;
    }
    return version == "HTTP/1.1" || ListHas(connection, "keep-alive");
}

std::optional<RequestFramer::Refusal> RequestFramer::refuse(int status, QString message) {
    state_ = State::Refused;
    refusal_ = Refusal{status, std::move(message)};
    return refusal_;
}

std::optional<RequestFramer::Refusal> RequestFramer::feed(QByteArrayView bytes) {
    if (state_ == State::Refused) {
        return refusal_;
    }
    qsizetype i = 0;
    const qsizetype n = bytes.size();
    const qint64 base = pos_;
    pos_ += n;
    while (i < n) {
        if (state_ == State::Stopped) {
            return std::nullopt;
        }
        if (state_ == State::Body) {
            const qint64 take = std::min<qint64>(bodyLeft_, n - i);
            head_.body += bytes.sliced(i, static_cast<qsizetype>(take));
            bodyLeft_ -= take;
            i += static_cast<qsizetype>(take);
            if (bodyLeft_ == 0) {
                head_.endOffset = base + i;
                complete();
            }
            continue;
        }
        if (line_.isEmpty()) {
            lineStart_ = base + i;
        }
        const qsizetype end = bytes.indexOf('\n', i);
        if (end < 0) {
            line_ += bytes.sliced(i);
            // A line that never ends is refused as soon as it is too long.
            if (!haveRequestLine_ && line_.size() > limits_.requestLine) {
                return refuse(
                    414, QStringLiteral("request line over %1 bytes").arg(limits_.requestLine));
            }
            if (haveRequestLine_ && headerBytes_ + line_.size() > limits_.headerBytes) {
                return refuse(
                    431, QStringLiteral("header lines over %1 bytes").arg(limits_.headerBytes));
            }
            return std::nullopt;
        }
        line_ += bytes.sliced(i, end - i);
        i = end + 1;
        head_.endOffset = base + i; // if this line ends the head
        QByteArray line = std::move(line_);
        line_.clear();
        if (auto r = takeLine(std::move(line))) {
            return r;
        }
    }
    return std::nullopt;
}

void RequestFramer::complete() {
    const bool stop = head_.upgradesToWebSocket() || !head_.keepAlive();
    done_.append(std::move(head_));
    head_ = {};
    state_ = stop ? State::Stopped : State::Head;
}

std::optional<RequestFramer::Refusal> RequestFramer::takeLine(QByteArray line) {
    const qsizetype size = line.size() + 1; // with its '\n'
    if (line.endsWith('\r')) {
        line.chop(1);
    }
    if (!haveRequestLine_) {
        if (size > limits_.requestLine) {
            return refuse(414,
                          QStringLiteral("request line over %1 bytes").arg(limits_.requestLine));
        }
        if (line.isEmpty()) {
            return std::nullopt; // empty lines before a request are allowed
        }
        const QList<QByteArray> parts = line.split(' ');
        if (parts.size() != 3) {
            return refuse(400, QStringLiteral("malformed request line"));
        }
        head_ = {};
        head_.startOffset = lineStart_;
        head_.method = parts[0];
        head_.target = parts[1];
        head_.version = parts[2];
        if (!IsToken(head_.method)) {
            return refuse(400, QStringLiteral("malformed request line"));
        }
        if (std::find(kMethods.begin(), kMethods.end(), QByteArrayView(head_.method)) ==
            kMethods.end()) {
            return refuse(
                501,
                QStringLiteral("method %1 is not served").arg(QString::fromLatin1(head_.method)));
        }
        if (!head_.target.startsWith('/')) {
            return refuse(400, QStringLiteral("the request target must be a path"));
        }
        for (const char c : head_.target) {
            const auto u = static_cast<unsigned char>(c);
            if (u <= 0x20 || u == 0x7F) {
                return refuse(400, QStringLiteral("control character in the request target"));
            }
        }
        if (head_.version != "HTTP/1.1" && head_.version != "HTTP/1.0") {
            return refuse(400, QStringLiteral("HTTP/1.0 or HTTP/1.1 only"));
        }
        haveRequestLine_ = true;
        headerBytes_ = 0;
        return std::nullopt;
    }
    headerBytes_ += static_cast<int>(size);
    if (headerBytes_ > limits_.headerBytes) {
        return refuse(431, QStringLiteral("header lines over %1 bytes").arg(limits_.headerBytes));
    }
    if (line.isEmpty()) {
        return endOfHead();
    }
    if (line.startsWith(' ') || line.startsWith('\t')) {
        return refuse(400, QStringLiteral("folded header line"));
    }
    const qsizetype colon = line.indexOf(':');
    if (colon <= 0 || !IsToken(QByteArrayView(line).first(colon))) {
        return refuse(400, QStringLiteral("malformed header line"));
    }
    const QByteArray value = line.mid(colon + 1).trimmed();
    for (const char c : value) {
        const auto u = static_cast<unsigned char>(c);
        if ((u < 0x20 && c != '\t') || u == 0x7F) {
            return refuse(400, QStringLiteral("control character in a header value"));
        }
    }
    head_.headers.emplaceBack(line.left(colon), value);
    return std::nullopt;
}

std::optional<RequestFramer::Refusal> RequestFramer::endOfHead() {
    if (!head_.header("Transfer-Encoding").isEmpty()) {
        return refuse(411, QStringLiteral("send the body with a Content-Length"));
    }
    std::optional<qint64> length;
    for (const auto& [key, value] : head_.headers) {
        if (key.compare("Content-Length", Qt::CaseInsensitive) != 0) {
            continue;
        }
        bool digits = !value.isEmpty() && value.size() <= 18;
        for (const char c : value) {
            digits = digits && c >= '0' && c <= '9';
        }
        if (!digits || (length && *length != value.toLongLong())) {
            return refuse(400, QStringLiteral("malformed Content-Length"));
        }
        length = value.toLongLong();
    }
    head_.contentLength = length.value_or(0);
    if (head_.contentLength > limits_.bodyBytes) {
        return refuse(413, QStringLiteral("body over %1 bytes").arg(limits_.bodyBytes));
    }
    const bool upgrade =
        ListHas(head_.header("Connection"), "upgrade") && !head_.header("Upgrade").isEmpty();
    if (upgrade && !head_.upgradesToWebSocket()) {
        return refuse(501, QStringLiteral("only WebSocket upgrades are served"));
    }
    qsizetype hosts = 0;
    for (const auto& [key, value] : head_.headers) {
        hosts += key.compare("Host", Qt::CaseInsensitive) == 0 ? 1 : 0;
    }
    if (hosts > 1 || (hosts == 0 && head_.version == "HTTP/1.1")) {
        return refuse(400, QStringLiteral("an HTTP/1.1 request names one Host"));
    }
    haveRequestLine_ = false;
    headerBytes_ = 0;
    bodyLeft_ = upgrade ? 0 : head_.contentLength;
    if (bodyLeft_ > 0) {
        head_.body.reserve(static_cast<qsizetype>(bodyLeft_));
        state_ = State::Body;
    } else {
        complete();
    }
    return std::nullopt;
}

QList<RequestHead> RequestFramer::takeHeads() {
    QList<RequestHead> out;
    out.swap(done_);
    return out;
}

} // namespace zurid::serve::http
