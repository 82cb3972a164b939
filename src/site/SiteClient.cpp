#include "SiteClient.h"

#include <libpq-fe.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string_view>
#include <utility>

namespace site {

namespace {

// The whole batch travels as nine arrays, unnested on the server into rows: one statement
// whatever the batch's size, and its values never part of the SQL text. ON CONFLICT without a
// conflict target is deliberate: naming the key columns would need SELECT on them, which a desk
// does not have; the primary key is the table's only unique constraint, so nothing else is
// skipped.
constexpr const char* kInsert =
    "insert into pesavo.weighings (desk, run, row_id, kind, kg, width_code, frame, at, maybe_repeat) "
    "select coalesce(r.desk, $1::text), r.run, r.row_id, r.kind, r.kg, r.width_code, decode(r.frame, 'hex'), "
    "to_timestamp(r.at), r.maybe_repeat "
    "from unnest($2::text[], $3::bigint[], $4::smallint[], $5::numeric[], $6::smallint[], "
    "$7::text[], $8::bigint[], $9::boolean[], $10::text[]) as r(run, row_id, kind, kg, width_code, frame, at, maybe_repeat, desk) "
    "on conflict do nothing";

std::string Trimmed(const char* text) {
    std::string s = text ? text : "";
    while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
    return s;
}

// Whether `word` names one of libpq's connection options.
bool OptionName(const std::string& word) {
    PQconninfoOption* options = PQconninfoParse("", nullptr);
    bool found = false;
    for (const PQconninfoOption* o = options; o && o->keyword && !found; ++o) found = word == o->keyword;
    if (options) PQconninfoFree(options);
    return found;
}

// libpq's words about settings it cannot use or a connection that failed quote what was typed,
// which may be a password: only the names of options stay.
std::string WithoutQuotes(const std::string& message) {
    std::string out, piece;
    bool quoted = false;
    for (char c : message) {
        if (c != '"') {
            (quoted ? piece : out) += c;
            continue;
        }
        if (quoted) out += '"' + (OptionName(piece) ? piece : "...") + '"';
        piece.clear();
        quoted = !quoted;
    }
    if (quoted) out += "\"...\"";
    return out;
}

// The number libpq reads in `text`, as it reads integer options: decimal, signed, blanks around.
std::optional<int> Integer(std::string_view text) {
    constexpr std::string_view kBlanks = " \t\n\v\f\r";
    const auto first = text.find_first_not_of(kBlanks);
    if (first == std::string_view::npos) return std::nullopt;
    text = text.substr(first, text.find_last_not_of(kBlanks) + 1 - first);
    if (text.size() > 1 && text[0] == '+' && text[1] != '-') text.remove_prefix(1);
    int value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

// The first integer option among `options` that libpq cannot read, or null. libpq reads these
// only while connecting, and a ping then answers as if no server were there. `port` is a list,
// one for each host, an empty one meaning the default.
const char* UnusableOption(const PQconninfoOption* options) {
    for (const PQconninfoOption* o = options; o && o->keyword; ++o) {
        if (!o->val) continue;
        const std::string_view keyword = o->keyword, value = o->val;
        if (keyword == "port") {
            for (std::size_t begin = 0;;) {
                const std::size_t comma = value.find(',', begin);
                const std::string_view port = value.substr(begin, comma - begin);
                const auto number = Integer(port);
                if (!port.empty() && !(number && *number >= 1 && *number <= 65535)) return o->keyword;
                if (comma == std::string_view::npos) break;
                begin = comma + 1;
            }
            continue;
        }
        for (const char* integer : {"connect_timeout", "keepalives", "keepalives_idle", "keepalives_interval",
                                    "keepalives_count", "tcp_user_timeout"})
            if (keyword == integer && !Integer(value)) return o->keyword;
    }
    return nullptr;
}

// A server that is up but cannot take this connection yet: full (every connection slot taken),
// or starting, shutting down or recovering. It says so in words (a connection that fails has no
// error code for the client); these are the server's English ones.
bool Busy(const std::string& message) {
    for (const char* words : {"too many clients", "remaining connection slots", "the database system is starting up",
                              "the database system is shutting down", "the database system is in recovery mode",
                              "the database system is not yet accepting connections", "the database system is not accepting connections"})
        if (message.find(words) != std::string::npos) return true;
    return false;
}

template <typename Number>
void AppendNumber(std::string& out, Number value) {
    char buffer[32];
    const auto end = std::to_chars(buffer, buffer + sizeof buffer, value).ptr;
    out.append(buffer, end);
}

// An element of an array literal in double quotes, so that commas, braces and spaces in it stay.
void AppendQuoted(std::string& out, const std::string& text) {
    out += '"';
    for (char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    out += '"';
}

// Arrays in PostgreSQL's text form: {a,b,...}.
class ArrayText {
public:
    std::string& Next() {
        text_ += text_.empty() ? '{' : ',';
        return text_;
    }
    std::string Done() { return text_.empty() ? "{}" : std::move(text_) + '}'; }

private:
    std::string text_;
};

// Errors that pass: the connection, the server's state or its resources, a conflict with
// other work. Any other error (permissions, a missing schema, rows the table refuses) stays
// until someone acts.
bool Passing(const char* state) {
    if (!state || std::strlen(state) != 5) return true;  // no answer from the server at all
    static constexpr const char* kClasses[] = {"08", "53", "40", "58"};
    for (const char* c : kClasses)
        if (std::strncmp(state, c, 2) == 0) return true;
    static constexpr const char* kStates[] = {
        "57P01", "57P02", "57P03",  // the server shutting down, crashed or starting
        "57014",                    // cancelled, by an administrator or a time limit
        "55P03",                    // a lock not available
        "25006",                    // a read-only server: a standby, until it is promoted
    };
    for (const char* s : kStates)
        if (std::strcmp(state, s) == 0) return true;
    return false;
}

// Refusals whose server words would not tell the operator what to mend: a site schema older than
// the frames (version 1 checks their length), a desk name the site has not given this login (the
// policy that binds a desk's inserts). Known by the constraint's and the policy's names, in any
// language the server speaks. The server does not say which row it refused: every name is told.
std::optional<std::string> Explained(const PGresult* res, const char* login, const std::string& desk,
                                     const std::vector<Weighing>& batch) {
    const char* state = PQresultErrorField(res, PG_DIAG_SQLSTATE);
    const char* constraint = PQresultErrorField(res, PG_DIAG_CONSTRAINT_NAME);
    const char* words = PQresultErrorField(res, PG_DIAG_MESSAGE_PRIMARY);
    if (!state) return std::nullopt;
    if (std::strcmp(state, "23514") == 0 && constraint && std::strcmp(constraint, "weighings_frame_check") == 0)
        return "the site's database schema is older than this Pesavo and refuses its frames (the site's DBA "
               "upgrades it with pesavo-site-upgrade-2.sql, which comes with Pesavo)";
    if (std::strcmp(state, "42501") != 0 || !words || !std::strstr(words, "weighings_desk_names")) return std::nullopt;
    std::vector<std::string> names;
    for (const Weighing& w : batch) {
        const std::string& name = w.desk.empty() ? desk : w.desk;
        if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
    }
    std::string text = std::string("the login \"") + (login ? login : "") + "\" may not write weighings under ";
    text += names.size() == 1 ? "the desk name " : "one of the desk names ";
    for (std::size_t i = 0; i < names.size(); ++i) text += (i ? ", \"" : "\"") + names[i] + '"';
    return text + " (the site's DBA gives a login its desk names in pesavo.desk_names)";
}

}  // namespace

Client::Client(std::string connectionString, std::string desk)
    : connectionString_(std::move(connectionString)), desk_(std::move(desk)) {}

Client::~Client() { Drop(); }

void Client::Drop() {
    if (conn_) PQfinish(conn_);
    conn_ = nullptr;
}

Result Client::Connect() {
    char* parseError = nullptr;
    PQconninfoOption* options = PQconninfoParse(connectionString_.c_str(), &parseError);
    if (!options) {
        Result refused{Result::Kind::Refused, WithoutQuotes(Trimmed(parseError ? parseError : "invalid connection string"))};
        PQfreemem(parseError);
        return refused;
    }
    std::vector<const char*> keywords, values;
    bool timeout = std::getenv("PGCONNECT_TIMEOUT") != nullptr;
    for (const PQconninfoOption* o = options; o->keyword; ++o) {
        if (!o->val) continue;
        keywords.push_back(o->keyword);
        values.push_back(o->val);
        if (std::strcmp(o->keyword, "connect_timeout") == 0) timeout = true;
    }
    // Defaults of our own, each one only where the settings say nothing. A server that vanishes
    // mid-answer is noticed within about half a minute rather than the system's two hours.
    auto fallback = [&](const char* keyword, const char* value) {
        for (const char* k : keywords)
            if (std::strcmp(k, keyword) == 0) return;
        keywords.push_back(keyword);
        values.push_back(value);
    };
    if (!timeout) fallback("connect_timeout", "5");
    fallback("fallback_application_name", "pesavo");
    fallback("keepalives_idle", "10");
    fallback("keepalives_interval", "5");
    fallback("keepalives_count", "3");
    fallback("tcp_user_timeout", "30000");
    // A batch the server holds (a lock somebody keeps on the table) is given up after half a
    // minute like one lost on the network, instead of holding the desk's rows for ever.
    fallback("options", "-c statement_timeout=30s");
    keywords.push_back(nullptr);
    values.push_back(nullptr);

    // A connection that fails is told apart by asking whether the server is up and taking
    // connections (PQping stops before authenticating). If it is, the server said no — unless
    // it only just came up, so one more attempt decides.
    Result result{Result::Kind::Sent, {}};
    for (int attempt = 0; attempt < 2; ++attempt) {
        conn_ = PQconnectdbParams(keywords.data(), values.data(), 0);
        if (conn_ && PQstatus(conn_) == CONNECTION_OK) break;
        result.message = conn_ ? Trimmed(PQerrorMessage(conn_)) : "out of memory";
        // A setting libpq could not read is one to mend, not an outage. The options are those
        // libpq used (its environment and service file included): the port counts always, the
        // others only when its words name them, since it skips them where they do not apply (a
        // local socket, keepalives off, a system without the setting).
        PQconninfoOption* used = conn_ ? PQconninfo(conn_) : nullptr;
        const char* unusable = UnusableOption(used);
        const bool mistyped = unusable && (std::strcmp(unusable, "port") == 0 ||
                                           result.message.find(unusable) != std::string::npos);
        if (used) PQconninfoFree(used);
        result.message = WithoutQuotes(result.message);
        Drop();
        if (mistyped) {
            result.kind = Result::Kind::Refused;
            break;
        }
        const PGPing ping = PQpingParams(keywords.data(), values.data(), 0);
        if (ping == PQPING_NO_ATTEMPT) {
            result.kind = Result::Kind::Refused;
            break;
        }
        if (ping != PQPING_OK || Busy(result.message)) {
            result.kind = Result::Kind::Unreachable;
            break;
        }
        result.kind = Result::Kind::Refused;
    }
    PQconninfoFree(options);
    return result;
}

Result Client::Send(const std::vector<Weighing>& batch) {

    ArrayText runs, rowIds, kinds, kgs, widths, frames, ats, repeats, desks;
    static constexpr char kHex[] = "0123456789abcdef";
    for (const Weighing& w : batch) {
        AppendQuoted(runs.Next(), w.run);
        AppendNumber(rowIds.Next(), w.rowId);
        AppendNumber(kinds.Next(), static_cast<int>(w.kind));
        // The shortest text that reads back as the same double: 1.2345 goes as "1.2345", which
        // the column keeps exactly. A weight that is not a number has nothing to keep.
        if (w.kg && std::isfinite(*w.kg))
            AppendNumber(kgs.Next(), *w.kg);
        else
            kgs.Next() += "NULL";
        AppendNumber(widths.Next(), static_cast<int>(w.widthCode));
        std::string& frame = frames.Next();
        for (std::uint8_t b : w.frame) {
            frame += kHex[b >> 4];
            frame += kHex[b & 15];
        }
        AppendNumber(ats.Next(), w.at);
        repeats.Next() += w.maybeRepeat ? 't' : 'f';
        if (w.desk.empty())
            desks.Next() += "NULL";
        else
            AppendQuoted(desks.Next(), w.desk);
    }
    const std::string params[] = {desk_,         runs.Done(), rowIds.Done(),  kinds.Done(), kgs.Done(),
                                  widths.Done(), frames.Done(), ats.Done(), repeats.Done(), desks.Done()};
    constexpr int kParams = sizeof params / sizeof params[0];
    const char* values[kParams];
    for (int i = 0; i < kParams; ++i) values[i] = params[i].c_str();

    // A connection kept from an earlier Send may have been closed by a server restart since:
    // that costs one new connection and a second try, not a failed Send.
    for (bool reused = conn_ != nullptr;; reused = false) {
        if (!conn_) {
            Result connected = Connect();
            if (connected.kind != Result::Kind::Sent) return connected;
        }
        PGresult* res = PQexecParams(conn_, kInsert, kParams, nullptr, values, nullptr, nullptr, 0);
        if (PQresultStatus(res) == PGRES_COMMAND_OK) {
            PQclear(res);
            return {Result::Kind::Sent, {}};
        }
        const bool lost = PQstatus(conn_) != CONNECTION_OK;
        Result failed{Passing(PQresultErrorField(res, PG_DIAG_SQLSTATE)) ? Result::Kind::Unreachable
                                                                         : Result::Kind::Refused,
                      Trimmed(res ? PQresultErrorMessage(res) : PQerrorMessage(conn_))};
        if (failed.message.empty()) failed.message = Trimmed(PQerrorMessage(conn_));
        if (auto explained = res ? Explained(res, PQuser(conn_), desk_, batch) : std::nullopt)
            failed.message = std::move(*explained);
        PQclear(res);
        Drop();
        if (!(reused && lost)) return failed;
    }
}

}  // namespace site
