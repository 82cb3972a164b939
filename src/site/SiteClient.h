#pragma once
// The site database's client: a desk's weighings sent to the site's PostgreSQL database
// (site/pesavo-site.sql makes it), a batch at a time.
//
// A batch goes in one statement, so one round trip and one transaction: all of it or none of it.
// Rows already there are left alone, so a batch whose answer was lost is simply sent again. A
// failure says whether waiting helps (Unreachable: the server is down, restarting, out of reach
// or short of resources) or not (Refused: a wrong password, database or role, no permission, a
// database without Pesavo's schema or with one too old for the frames, a desk name the site has
// not given this login): the desk keeps the rows either way. The connection is made when needed
// and dropped after a failure, so the next Send connects again.
//
// Passwords are libpq's business: its password file (~/.pgpass or PGPASSFILE) and service file.
// A Client is used by one thread at a time; Clients on different threads are independent.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct pg_conn;

namespace site {

// What a row is, in the numbers of weighing::RowKind and of the table's `kind` column.
enum class RowKind : std::uint8_t { Weight = 0, Overweight = 1, Error = 2 };

// One weighing as the site keeps it.
struct Weighing {
    std::string run;          // the desk run's identity, made when the program starts
    std::int64_t rowId = 0;   // the row within the run
    RowKind kind = RowKind::Weight;
    std::optional<double> kg;  // signed, kept to four decimals; none for an error
    std::int16_t widthCode = 0;
    std::vector<std::uint8_t> frame;  // the scale's bytes
    std::int64_t at = 0;      // when it was weighed, in seconds since 1970 (UTC)
    bool maybeRepeat = false;  // may be the last weighing before a restart, sent again by the scale
    std::string desk;          // the desk it was weighed at, when not the Client's (renamed since)
};

struct Result {
    enum class Kind {
        Sent,         // every row of the batch is in the database (some may have been before)
        Unreachable,  // not sent; worth trying again later
        Refused,      // not sent; will not work until someone changes the settings or the server
    };
    Kind kind = Kind::Unreachable;
    std::string message;  // the server's or libpq's own words; empty when sent
};

class Client {
public:
    // `connectionString` is libpq's, as keywords ("host=... dbname=... user=...") or a
    // postgresql:// URI. Unless it says otherwise, connecting gives up after 5 seconds and the
    // server sees the application name "pesavo".
    explicit Client(std::string connectionString, std::string desk);
    ~Client();
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    // Sends the batch, connecting first when there is no connection. An empty batch asks whether
    // the site would take this desk's weighings (the same statement, with no rows).
    Result Send(const std::vector<Weighing>& batch);

private:
    Result Connect();
    void Drop();

    std::string connectionString_;
    std::string desk_;
    pg_conn* conn_ = nullptr;
};

}  // namespace site
