#pragma once
// A PostgreSQL 15 server of a test's own: a new cluster in a temporary folder, listening on
// 127.0.0.1 on a free port and on a socket in that folder, stopped and removed at the end.
//
// The server refuses to run as root, so under root (CI, containers) the cluster belongs to
// `nobody` and its programs run through runuser. The superuser `postgres` comes in through the
// socket without a password; every other role comes in over TCP with a SCRAM password, so that
// a wrong one can be tried.
//
// Windows (the Windows build's tests under Wine) cannot start one: there PESAVO_SITE_SERVER names
// the port on 127.0.0.1 of a server started for the tests (scripts/windows-test.sh), where the
// superuser comes in over TCP without a password and every other role as above. Each
// PostgresCluster empties it first (Pesavo's schema and every role but the superuser go), and
// it cannot be stopped or started.
#include <libpq-fe.h>

#include <gtest/gtest.h>

#ifndef _WIN32
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#else
#include <process.h>
#endif

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#ifdef _WIN32
class PostgresCluster {
public:
    static bool Installed() { return std::getenv("PESAVO_SITE_SERVER") != nullptr; }

    PostgresCluster() {
        const char* port = std::getenv("PESAVO_SITE_SERVER");
        port_ = port ? std::atoi(port) : 0;
        if (port_ <= 0) {
            error_ = "PESAVO_SITE_SERVER names no port";
            return;
        }
        static int made = 0;
        folder_ = (std::filesystem::temp_directory_path() /
                   ("pesavo-pg-" + std::to_string(_getpid()) + "-" + std::to_string(++made)))
                      .string();
        std::filesystem::create_directories(folder_);
        Sql("set client_min_messages = warning; drop schema if exists pesavo cascade; "
            "do $$ declare r text; begin for r in select rolname from pg_roles where rolname <> 'postgres' and "
            "rolname !~ '^pg_' loop execute format('drop role %I', r); end loop; end $$");
    }

    ~PostgresCluster() {
        std::error_code ec;
        if (!folder_.empty()) std::filesystem::remove_all(folder_, ec);
    }
#else
extern char** environ;

class PostgresCluster {
public:
    static constexpr const char* kBin = "/usr/lib/postgresql/15/bin";

    static bool Installed() { return std::filesystem::exists(std::string(kBin) + "/initdb"); }

    // Creates and starts the cluster; Error() says what failed, empty when it runs.
    PostgresCluster() {
        char folder[] = "/tmp/pesavo-pg-XXXXXX";
        if (!mkdtemp(folder)) {
            error_ = "cannot create a folder in /tmp";
            return;
        }
        folder_ = folder;
        if (geteuid() == 0 && chown(folder, 65534, 65534) != 0) {  // nobody:nogroup
            error_ = "cannot give " + folder_ + " to nobody";
            return;
        }
        if (Run({std::string(kBin) + "/initdb", "-D", folder_ + "/data", "-U", "postgres", "-E", "UTF8",
                 "--locale=C.UTF-8", "--auth-local=trust", "--auth-host=scram-sha-256", "--no-sync"}) != 0) {
            error_ = "initdb failed: " + Log();
            return;
        }
        // Another process may take the free port before the server does: then another port.
        for (int attempt = 0; attempt < 3 && !running_; ++attempt) {
            port_ = FreePort();
            Start();
        }
        if (!running_) error_ = "the server did not start: " + Log();
    }

    ~PostgresCluster() {
        if (running_) Stop();
        std::error_code ec;
        if (!folder_.empty()) std::filesystem::remove_all(folder_, ec);
    }
#endif
    PostgresCluster(const PostgresCluster&) = delete;
    PostgresCluster& operator=(const PostgresCluster&) = delete;

    const std::string& Error() const { return error_; }
    int Port() const { return port_; }
    const std::string& Folder() const { return folder_; }

#ifndef _WIN32
    // Starts the server again on the same port, and waits until it takes connections.
    bool Start() {
        const std::string options = "-c port=" + std::to_string(port_) +
                                    " -c listen_addresses=127.0.0.1 -c unix_socket_directories=" + folder_ +
                                    " -c fsync=off -c synchronous_commit=off -c full_page_writes=off";
        running_ = Run({std::string(kBin) + "/pg_ctl", "-D", folder_ + "/data", "-l", folder_ + "/server.log", "-w",
                        "-t", "60", "-o", options, "start"}) == 0;
        return running_;
    }

    // Stops the server: its sessions are ended, and it is gone when this returns.
    bool Stop() {
        const bool stopped =
            Run({std::string(kBin) + "/pg_ctl", "-D", folder_ + "/data", "-m", "fast", "-w", "stop"}) == 0;
        if (stopped) running_ = false;
        return stopped;
    }
#endif

    // Runs `sql` (one statement or several) as the superuser; the first value of the last
    // statement's answer, empty when there is none. An error fails the test.
    std::string Sql(const std::string& sql) {
#ifdef _WIN32
        const std::string conninfo = Connection("postgres");
#else
        const std::string conninfo =
            "host=" + folder_ + " port=" + std::to_string(port_) + " user=postgres dbname=postgres";
#endif
        PGconn* conn = PQconnectdb(conninfo.c_str());
        std::string value;
        if (PQstatus(conn) != CONNECTION_OK) {
            ADD_FAILURE() << "superuser connection: " << PQerrorMessage(conn);
        } else {
            PQsetNoticeProcessor(conn, [](void*, const char*) {}, nullptr);  // ("already exists, skipping")
            PGresult* res = PQexec(conn, sql.c_str());
            const ExecStatusType status = PQresultStatus(res);
            if (status == PGRES_TUPLES_OK && PQntuples(res) > 0 && PQnfields(res) > 0)
                value = PQgetvalue(res, 0, 0);
            else if (status != PGRES_TUPLES_OK && status != PGRES_COMMAND_OK)
                ADD_FAILURE() << sql.substr(0, 200) << ": " << PQresultErrorMessage(res);
            PQclear(res);
        }
        PQfinish(conn);
        return value;
    }

    // Pesavo's site schema as the site's administrator makes it (site/pesavo-site.sql), and a
    // desk's login role for each of `desks`, with the password given, that may write under the
    // desk names `names` gives it.
    void MakeSite(const std::map<std::string, std::string>& desks,
                  const std::map<std::string, std::vector<std::string>>& names) {
        Apply("site/pesavo-site.sql");
        for (const auto& [user, password] : desks)
            Sql("create role " + user + " login password '" + password + "' in role pesavo_desk");
        for (const auto& [user, userNames] : names)
            for (const std::string& name : userNames)
                Sql("insert into pesavo.desk_names values ('" + user + "', '" + name + "')");
    }
    // Runs the SQL file at `path` in the source tree as the superuser.
    void Apply(const std::string& path) {
        std::ifstream in(std::string(PESAVO_SOURCE_DIR) + "/" + path);
        Sql(std::string(std::istreambuf_iterator<char>(in), {}));
    }
    // A libpq password file in the cluster's folder with these passwords for the cluster's
    // database `postgres` over TCP; its path.
    std::string WritePassFile(const std::string& name, const std::map<std::string, std::string>& passwords) const {
        const std::string path = folder_ + "/" + name;
        std::ofstream out(path);
        for (const auto& [user, password] : passwords)
            out << "127.0.0.1:" << port_ << ":postgres:" << user << ":" << password << "\n";
        out.close();
#ifndef _WIN32
        chmod(path.c_str(), 0600);  // libpq ignores a password file that others may read
#endif
        return path;
    }
    // A libpq connection string for `user` over TCP (the password from libpq's password file).
    std::string Connection(const std::string& user) const {
        return "host=127.0.0.1 port=" + std::to_string(port_) + " dbname=postgres user=" + user;
    }

private:
#ifndef _WIN32
    static int FreePort() {
        int s = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        int port = 0;
        if (bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
            getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) == 0)
            port = ntohs(address.sin_port);
        close(s);
        return port;
    }

    // Runs a program of the server's as the cluster's owner, in the cluster's folder, its output
    // added to commands.log; its exit status.
    int Run(std::vector<std::string> args) {
        if (geteuid() == 0) args.insert(args.begin(), {"/usr/sbin/runuser", "-u", "nobody", "--"});
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, (folder_ + "/commands.log").c_str(),
                                         O_WRONLY | O_CREAT | O_APPEND, 0600);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        posix_spawn_file_actions_addchdir_np(&actions, folder_.c_str());
        pid_t pid = -1;
        const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (spawned != 0) return -1;
        int status = 0;
        if (waitpid(pid, &status, 0) != pid) return -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    std::string Log() const {
        std::stringstream text;
        for (const char* name : {"/commands.log", "/server.log"}) {
            std::ifstream in(folder_ + name);
            if (in) text << in.rdbuf();
        }
        return text.str();
    }
#endif

    std::string folder_;
    std::string error_;
    int port_ = 0;
    bool running_ = false;
};
