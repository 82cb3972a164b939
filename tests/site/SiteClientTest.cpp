// The site client against a PostgreSQL server of the test's own, with the shipped schema
// (site/pesavo-site.sql) and a desk's login role whose password is in a libpq password file:
// batches arrive exactly once through resends, outages and restarts, a desk can only add, and
// only under its own names; a site of the previous schema takes the rows and is upgraded.
// The Windows build runs them under Wine against a server started for it, which it cannot stop.
#include "SiteClient.h"
#include "../support/PostgresCluster.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Kind = site::Result::Kind;

// libpq's password file from now on.
void UsePassFile(const std::string& path) {
#ifdef _WIN32
    _putenv_s("PGPASSFILE", path.c_str());
#else
    setenv("PGPASSFILE", path.c_str(), 1);
#endif
}

// A cluster with Pesavo's schema and the login roles `desk1` (a desk) and `stranger` (a login
// that is not one), their passwords in a password file that PGPASSFILE names.
class Site {
public:
    Site() {
        if (!cluster.Error().empty()) return;
        cluster.MakeSite({{"desk1", "desk1-secret"}}, {{"desk1", {"desk-01"}}});
        cluster.Sql("create role stranger login password 'stranger-secret'");
        passFile = WritePassFile("pgpass", {{"desk1", "desk1-secret"}, {"stranger", "stranger-secret"}});
        UsePassFile(passFile);
    }
    std::string Connection(const std::string& user) const { return cluster.Connection(user); }
    std::string WritePassFile(const std::string& name, const std::map<std::string, std::string>& passwords) const {
        return cluster.WritePassFile(name, passwords);
    }

    PostgresCluster cluster;
    std::string passFile;
};

// Rows `first` .. `last` of a run: weights of -1.5 kg upwards in steps of 12.5 g, every tenth an
// error, every 25th an overweight, a minute apart from late on 14 November 2023 (UTC) on.
std::vector<site::Weighing> Batch(const std::string& run, int first, int last) {
    std::vector<site::Weighing> batch;
    for (int i = first; i <= last; ++i) {
        site::Weighing w;
        w.run = run;
        w.rowId = i;
        w.kind = i % 10 == 0 ? site::RowKind::Error : i % 25 == 0 ? site::RowKind::Overweight : site::RowKind::Weight;
        if (w.kind != site::RowKind::Error) w.kg = (i * 125 - 15000) / 10000.0;
        w.widthCode = static_cast<std::int16_t>(100 + i % 7);
        w.frame = {0x02, static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(i >> 8), 0xff, 0x00, 0x03};
        w.at = 1700000000 + i * 60;
        batch.push_back(w);
    }
    return batch;
}

TEST(SiteClient, EveryWeighingArrivesOnceThroughResendsOutagesAndRestarts) {
    if (!PostgresCluster::Installed()) GTEST_SKIP() << "PostgreSQL 15 is not installed";
    Site site;
    ASSERT_EQ(site.cluster.Error(), "");
    // A run's name goes as an array element: quotes, commas and braces must survive it.
    const std::string run = "run \"7\", {a}\\b";
    site::Client client(site.Connection("desk1"), "desk-01");

    const auto first = Batch(run, 0, 999);
    auto sent = client.Send(first);
    ASSERT_EQ(sent.kind, Kind::Sent) << sent.message;
    EXPECT_EQ(site.cluster.Sql("select application_name from pg_stat_activity where usename = 'desk1'"), "pesavo");
    // The answer was lost, so the desk sends the batch again.
    sent = client.Send(first);
    ASSERT_EQ(sent.kind, Kind::Sent) << sent.message;

    long long tenthousandths = 0;
    std::map<std::string, int> weighingsPerDay;
    for (const auto& w : first) {
        if (w.kg) tenthousandths += std::llround(*w.kg * 10000);
        if (w.kind == site::RowKind::Weight) ++weighingsPerDay[w.at < 1700006400 ? "2023-11-14" : "2023-11-15"];
    }
    EXPECT_EQ(site.cluster.Sql("select count(*) || ' ' || count(kg) || ' ' || sum(kg * 10000)::bigint || ' ' || "
                               "count(distinct run) from pesavo.weighings where desk = 'desk-01' and run = $$" +
                               run + "$$"),
              "1000 900 " + std::to_string(tenthousandths) + " 1");
    EXPECT_EQ(site.cluster.Sql("select kind || ' ' || kg || ' ' || width_code || ' ' || encode(frame, 'hex') || ' ' || "
                               "extract(epoch from at)::bigint from pesavo.weighings where row_id = 258"),
              "0 1.7250 106 020201ff0003 1700015480");
    EXPECT_EQ(site.cluster.Sql("select kind || ' ' || coalesce(kg::text, 'none') from pesavo.weighings where row_id = 250"),
              "2 none");
    EXPECT_EQ(site.cluster.Sql("select string_agg(day || ' ' || weighings, ', ' order by day) from pesavo.daily_totals"),
              "2023-11-14 " + std::to_string(weighingsPerDay["2023-11-14"]) + ", 2023-11-15 " +
                  std::to_string(weighingsPerDay["2023-11-15"]));

#ifndef _WIN32  // (the Windows build's server cannot be stopped from its test)
    // The server goes away under an open connection: the next batch, half of it already sent,
    // waits with the desk, whether the old connection or a new one fails.
    ASSERT_TRUE(site.cluster.Stop());
    const auto second = Batch(run, 500, 1499);
    for (int attempt = 0; attempt < 2; ++attempt) {
        const auto began = std::chrono::steady_clock::now();
        const auto down = client.Send(second);
        EXPECT_EQ(down.kind, Kind::Unreachable) << down.message;
        EXPECT_NE(down.message, "");
        EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(10));
    }
    ASSERT_TRUE(site.cluster.Start());
    sent = client.Send(second);
    ASSERT_EQ(sent.kind, Kind::Sent) << sent.message;
    EXPECT_EQ(site.cluster.Sql("select count(*) from pesavo.weighings"), "1500");

    // A restart between two batches costs the desk nothing: the first Send after it goes through.
    ASSERT_TRUE(site.cluster.Stop());
    ASSERT_TRUE(site.cluster.Start());
    sent = client.Send(Batch(run, 1500, 1599));
    EXPECT_EQ(sent.kind, Kind::Sent) << sent.message;
    EXPECT_EQ(site.cluster.Sql("select count(*) from pesavo.weighings"), "1600");
#endif
}

// Settings libpq cannot use are refused, server or none, in libpq's words but without the values
// typed (any may be a password): a port that is no number, a URI whose password holds an
// unencoded "/" (libpq takes the part before it for the port), an sslmode that is no mode.
TEST(SiteClient, SettingsLibpqCannotUseAreRefusedWithoutTheirValues) {
    struct Setting {
        const char* connection;
        const char* named;
        const char* hidden;
    };
    for (const Setting& s : {Setting{"host=127.0.0.1 port=5432x dbname=weighings user=desk_07", "port", "5432x"},
                             Setting{"postgresql://desk_07:Pass42/Word@127.0.0.1/weighings", "port", "Pass42"},
                             Setting{"host=127.0.0.1 sslmode=Sup3rS3cret", "sslmode", "Sup3rS3cret"}}) {
        const auto refused = site::Client(s.connection, "desk-01").Send(Batch("r", 1, 2));
        EXPECT_EQ(refused.kind, Kind::Refused) << s.connection << ": " << refused.message;
        EXPECT_NE(refused.message.find(s.named), std::string::npos) << s.connection << ": " << refused.message;
        EXPECT_EQ(refused.message.find(s.hidden), std::string::npos) << s.connection << ": " << refused.message;
    }
}

// The SQLSTATE of `sql` run as the connection's role, or "ok".
std::string Outcome(PGconn* conn, const char* sql) {
    PGresult* res = PQexec(conn, sql);
    const ExecStatusType status = PQresultStatus(res);
    const char* state = PQresultErrorField(res, PG_DIAG_SQLSTATE);
    std::string outcome = status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK ? "ok" : state ? state : "?";
    PQclear(res);
    return outcome;
}

TEST(SiteClient, DesksCanOnlyAddAndWhatCannotHealIsRefused) {
    if (!PostgresCluster::Installed()) GTEST_SKIP() << "PostgreSQL 15 is not installed";
    Site site;
    ASSERT_EQ(site.cluster.Error(), "");
    {
        site::Client desk(site.Connection("desk1"), "desk-01");
        const auto sent = desk.Send(Batch("r", 1, 3));
        ASSERT_EQ(sent.kind, Kind::Sent) << sent.message;
    }

    // Whatever a desk tries beyond adding rows, the server refuses, its own rows included.
    PGconn* conn = PQconnectdb(site.Connection("desk1").c_str());
    ASSERT_EQ(PQstatus(conn), CONNECTION_OK) << PQerrorMessage(conn);
    for (const char* sql : {"select * from pesavo.weighings", "select * from pesavo.daily_totals",
                            "update pesavo.weighings set kg = 0", "delete from pesavo.weighings",
                            "truncate pesavo.weighings", "create table pesavo.mine (a int)",
                            "select * from pesavo.desk_names", "insert into pesavo.desk_names values ('desk1', 'desk-02')"})
        EXPECT_EQ(Outcome(conn, sql), "42501") << sql;
    PQfinish(conn);

    // A login that is not a desk's may not add: refused, in the server's words.
    const auto stranger = site::Client(site.Connection("stranger"), "desk-02").Send(Batch("r", 1, 3));
    EXPECT_EQ(stranger.kind, Kind::Refused);
    EXPECT_NE(stranger.message.find("permission denied"), std::string::npos) << stranger.message;

#ifdef _WIN32
    // The Windows build has no TLS: settings that ask for it are refused at once, in libpq's words.
    const auto tls = site::Client(site.Connection("desk1") + " sslmode=require", "desk-01").Send(Batch("r", 4, 5));
    EXPECT_EQ(tls.kind, Kind::Refused) << tls.message;
    EXPECT_NE(tls.message.find("SSL"), std::string::npos) << tls.message;
#endif

    // A connection string libpq cannot read: refused, without repeating what it holds.
    const auto unreadable = site::Client("postgresql://desk1:TopSecret99@[::1/postgres", "desk-01").Send(Batch("r", 4, 5));
    EXPECT_EQ(unreadable.kind, Kind::Refused);
    EXPECT_EQ(unreadable.message.find("TopSecret99"), std::string::npos) << unreadable.message;

    // A wrong password: refused, with the server's reason, however often it is tried.
    UsePassFile(site.WritePassFile("wrong", {{"desk1", "not-the-secret"}}));
    site::Client wrong(site.Connection("desk1"), "desk-01");
    for (int attempt = 0; attempt < 2; ++attempt) {
        const auto refused = wrong.Send(Batch("r", 4, 5));
        EXPECT_EQ(refused.kind, Kind::Refused) << refused.message;
        EXPECT_NE(refused.message.find("password authentication failed"), std::string::npos) << refused.message;
    }
    EXPECT_EQ(site.cluster.Sql("select count(*) from pesavo.weighings"), "3");
}

// Everything the schema pesavo holds, as text: relations, columns, constraints, indexes, triggers,
// policies, functions, privileges and the schema's comment.
std::string Schema(PostgresCluster& cluster) {
    return cluster.Sql(
        "select string_agg(line, E'\\n' order by line) from ("
        " select 'relation ' || c.oid::regclass || ' ' || c.relkind::text || ' ' || c.relrowsecurity || ' ' || c.relforcerowsecurity"
        "  || ' ' || coalesce(c.relacl::text, '') || ' ' || coalesce(case c.relkind when 'v' then pg_get_viewdef(c.oid)"
        "  when 'i' then pg_get_indexdef(c.oid) end, '') from pg_class c where c.relnamespace = 'pesavo'::regnamespace"
        " union all select 'column ' || a.attrelid::regclass || ' ' || a.attnum || ' ' || a.attname || ' '"
        "  || format_type(a.atttypid, a.atttypmod) || ' ' || a.attnotnull || ' ' || coalesce(pg_get_expr(d.adbin, d.adrelid), '')"
        "  from pg_attribute a join pg_class c on c.oid = a.attrelid left join pg_attrdef d on (d.adrelid, d.adnum) = (a.attrelid, a.attnum)"
        "  where c.relnamespace = 'pesavo'::regnamespace and a.attnum > 0 and not a.attisdropped"
        " union all select 'constraint ' || conrelid::regclass || ' ' || conname || ' ' || pg_get_constraintdef(oid)"
        "  from pg_constraint where connamespace = 'pesavo'::regnamespace"
        " union all select 'trigger ' || pg_get_triggerdef(t.oid) || ' ' || t.tgenabled::text from pg_trigger t"
        "  join pg_class c on c.oid = t.tgrelid where c.relnamespace = 'pesavo'::regnamespace and not t.tgisinternal"
        " union all select 'policy ' || concat_ws(' ', tablename, policyname, permissive, roles, cmd, qual, with_check)"
        "  from pg_policies where schemaname = 'pesavo'"
        " union all select 'function ' || pg_get_functiondef(oid) || ' ' || coalesce(proacl::text, '')"
        "  from pg_proc where pronamespace = 'pesavo'::regnamespace"
        " union all select 'schema ' || coalesce(obj_description(oid, 'pg_namespace'), '') || ' ' || coalesce(nspacl::text, '')"
        "  from pg_namespace where nspname = 'pesavo'"
        ") as schema(line)");
}

// A desk's login writes only under the desk names the DBA gave it, and every row keeps the login
// that wrote it whatever the desk sends; the owner is not bound. A site made by the previous
// Pesavo (schema version 1, as it shipped) takes today's rows, and its upgrade gives it the schema
// a new site has, keeping its rows, and changes nothing when run again.
TEST(SiteClient, DesksWriteUnderTheirOwnNamesAndAnEarlierSiteIsUpgraded) {
    if (!PostgresCluster::Installed()) GTEST_SKIP() << "PostgreSQL 15 is not installed";
    Site site;
    ASSERT_EQ(site.cluster.Error(), "");
    const std::string fresh = Schema(site.cluster);
    EXPECT_NE(fresh.find("schema Pesavo site schema 2"), std::string::npos) << fresh;
    site::Client desk(site.Connection("desk1"), "desk-01");
    auto sent = desk.Send(Batch("r", 1, 3));
    ASSERT_EQ(sent.kind, Kind::Sent) << sent.message;
    const auto rows = [&] {
        return site.cluster.Sql("select string_agg(desk || ' ' || coalesce(login::text, 'none') || ' ' || length(frame), ', '"
                                " order by desk, run, row_id) from pesavo.weighings");
    };

    // One row under another desk's name: the whole batch is refused, the rows already there and
    // the new one too, and the operator hears which login and names.
    auto forged = Batch("r", 1, 5);
    forged.back().desk = "desk-02";
    const auto refused = desk.Send(forged);
    EXPECT_EQ(refused.kind, Kind::Refused);
    EXPECT_NE(refused.message.find("\"desk1\" may not write weighings under one of the desk names \"desk-01\", \"desk-02\""),
              std::string::npos)
        << refused.message;
    // As the desk's login by hand: another desk's name is refused; naming the login gets the
    // session's own; a frame of any length is taken. The owner (here the superuser) writes under any name.
    PGconn* conn = PQconnectdb(site.Connection("desk1").c_str());
    ASSERT_EQ(PQstatus(conn), CONNECTION_OK) << PQerrorMessage(conn);
    EXPECT_EQ(Outcome(conn, "insert into pesavo.weighings (desk, run, row_id, kind, kg, frame, at) "
                            "values ('desk-02', 'raw', 1, 0, 999.0, '\\x01', now())"),
              "42501");
    EXPECT_EQ(Outcome(conn, "insert into pesavo.weighings (desk, run, row_id, kind, kg, frame, at, login) "
                            "values ('desk-01', 'raw', 1, 0, 1.0, convert_to('ST,GS,+  1.234kg', 'UTF8'), now(), 'postgres')"),
              "ok");
    PQfinish(conn);
    site.cluster.Sql("insert into pesavo.weighings (desk, run, row_id, kind, kg, frame, at) values ('desk-09', 'raw', 1, 0, 2.0, '\\x02', now())");
    EXPECT_EQ(rows(), "desk-01 desk1 6, desk-01 desk1 6, desk-01 desk1 6, desk-01 desk1 16, desk-09 postgres 1");

    // A site of the previous Pesavo takes the desk's rows as they are sent today.
    site.cluster.Sql("drop schema pesavo cascade");
    site.cluster.Apply("tests/site/data/pesavo-site-1.sql");
    sent = desk.Send(Batch("r", 1, 3));
    ASSERT_EQ(sent.kind, Kind::Sent) << sent.message;
    // Its upgrade: the schema of a new site, with the rows it had (their writer unknown).
    for (int run = 1; run <= 2; ++run) {
        site.cluster.Apply("site/pesavo-site-upgrade-2.sql");
        EXPECT_EQ(Schema(site.cluster), fresh) << "run " << run;
        EXPECT_EQ(rows(), "desk-01 none 6, desk-01 none 6, desk-01 none 6") << "run " << run;
    }
    // Its desks' logins have no names until the DBA gives them.
    const auto unnamed = desk.Send(Batch("r", 4, 5));
    EXPECT_EQ(unnamed.kind, Kind::Refused);
    EXPECT_NE(unnamed.message.find("\"desk1\" may not write weighings under the desk name \"desk-01\""), std::string::npos)
        << unnamed.message;
    site.cluster.Sql("insert into pesavo.desk_names values ('desk1', 'desk-01')");
    sent = desk.Send(Batch("r", 4, 5));
    ASSERT_EQ(sent.kind, Kind::Sent) << sent.message;
    EXPECT_EQ(rows(), "desk-01 none 6, desk-01 none 6, desk-01 none 6, desk-01 desk1 6, desk-01 desk1 6");
}

}  // namespace
