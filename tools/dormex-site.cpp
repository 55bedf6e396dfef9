// dormex-site: creates, fills and lists site databases for the stand-in site library.

#include <QCoreApplication>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "SiteContent.h"
#include "SiteDatabase.h"
#include "platform/Error.h"
#include "platform/Platform.h"

namespace {

using dormex::Error;
using namespace dormex::sitelib;

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

const char* const kUsage =
    "Usage: dormex-site [--database FILE] COMMAND [OPTIONS]\n"
    "\n"
    "Creates and fills the site database of the stand-in site library. Without --database it\n"
    "works on the database that SiteLibrary.ini beside this program names (section [Database],\n"
    "keys Driver, Database, Host, Port, User, Password, Options; without the file: the SQLite\n"
    "file site.db beside this program).\n"
    "\n"
    "Commands:\n"
    "  init       Create the site tables (and, for SQLite, the file). Fails when the database\n"
    "             already has them; it never changes existing tables.\n"
    "  demo       Fill the site with a small demo site: 40 card holders over all eleven person\n"
    "             types, 60 cards (idle ones, never used ones, ones without a holder), four\n"
    "             months of transactions up to today, five custom person type names.\n"
    "  generate --cards N --transactions M [--seed S] [--span-days D] [--idle-share F]\n"
    "             Fill the site with a large random site for benchmarks: N holders with one\n"
    "             card each, M transactions over the last D days (default 120), the share F\n"
    "             (0 to below 1, default 0.25) of the cards without use in the last 30 days and\n"
    "             every other card used in them (S: random seed, default 1).\n"
    "  cards      List the cards: CardID, KeyNumber, holder, person type, Active, CardStatus,\n"
    "             StatusReason.\n"
    "\n"
    "demo and generate create the tables (and the SQLite file) when missing, and refuse a site\n"
    "that already has cards.\n"
    "\n"
    "Options:\n"
    "  --database FILE  Use the SQLite database FILE instead of the registered one.\n"
    "  --help           Show this text.\n"
    "\n"
    "Exit status: 0 on success, 1 when the database work fails, 2 on bad arguments.\n";

struct UsageError {
    std::string message;
};

struct Arguments {
    std::string command;
    std::optional<std::string> database;
    GenerateOptions generate;  // cards 0 and transactions -1 until given
    bool generateOption = false;
    bool help = false;
};

template <class Number>
Number parseNumber(const std::string& option, const std::string& text, Number minimum) {
    Number value{};
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value < minimum)
        throw UsageError{option + " needs a whole number of at least " + std::to_string(minimum) +
                         ", not '" + text + "'"};
    return value;
}

// A share written as a decimal fraction: at least 0 and below 1.
double parseShare(const std::string& option, const std::string& text) {
    double value = -1;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || !(value >= 0 && value < 1))
        throw UsageError{option + " needs a fraction of at least 0 and below 1, not '" + text +
                         "'"};
    return value;
}

Arguments parseArguments(int argc, char** argv) {
    Arguments args;
    args.generate.transactions = -1;
    std::vector<std::string> words(argv + 1, argv + argc);
    for (size_t i = 0; i < words.size(); ++i) {
        const std::string& word = words[i];
        auto value = [&]() -> const std::string& {
            if (i + 1 >= words.size()) throw UsageError{word + " needs a value"};
            return words[++i];
        };
        // The value of an option that only generate takes.
        auto generateValue = [&]() -> const std::string& {
            args.generateOption = true;
            return value();
        };
        if (word == "--help" || word == "-h") {
            args.help = true;
        } else if (word == "--database") {
            args.database = value();
            if (args.database->empty()) throw UsageError{"--database needs a file name"};
        } else if (word == "--cards") {
            args.generate.cards = parseNumber<std::int64_t>(word, generateValue(), 1);
        } else if (word == "--transactions") {
            args.generate.transactions = parseNumber<std::int64_t>(word, generateValue(), 0);
        } else if (word == "--seed") {
            args.generate.seed = parseNumber<std::uint64_t>(word, generateValue(), 0);
        } else if (word == "--span-days") {
            args.generate.spanDays = parseNumber<int>(word, generateValue(), 1);
        } else if (word == "--idle-share") {
            args.generate.idleShare = parseShare(word, generateValue());
        } else if (word.rfind("-", 0) == 0) {
            throw UsageError{"unknown option " + word};
        } else if (args.command.empty()) {
            args.command = word;
        } else {
            throw UsageError{"unexpected argument '" + word + "'"};
        }
    }
    if (args.help) return args;
    if (args.command.empty()) throw UsageError{"no command given"};
    if (args.command != "init" && args.command != "demo" && args.command != "generate" &&
        args.command != "cards")
        throw UsageError{"unknown command '" + args.command + "'"};
    const bool generate = args.command == "generate";
    if (!generate && args.generateOption)
        throw UsageError{
            "--cards, --transactions, --seed, --span-days and --idle-share go with generate only"};
    if (generate && args.generate.cards == 0) throw UsageError{"generate needs --cards N"};
    if (generate && args.generate.transactions < 0)
        throw UsageError{"generate needs --transactions M"};
    return args;
}

ConnectionSettings settingsFor(const Arguments& args) {
    if (!args.database) return readRegistration(dormex::platform::programDirectory());
    ConnectionSettings settings;
    settings.driver = Driver::Sqlite;
    std::error_code ignored;
    settings.database =
        std::filesystem::absolute(*args.database, ignored).lexically_normal().string();
    return settings;
}

// How messages name the database: never with its password.
std::string describe(const ConnectionSettings& settings) {
    switch (settings.driver) {
        case Driver::Sqlite:
            return settings.database;
        case Driver::Postgres:
            return "PostgreSQL database '" + settings.database + "'" +
                   (settings.host.empty() ? std::string() : " on " + settings.host) +
                   (settings.port > 0 ? ":" + std::to_string(settings.port) : std::string());
        case Driver::Odbc:
            return "the ODBC data source";
    }
    return "the site database";
}

bool sqliteFileExists(const ConnectionSettings& settings) {
    std::error_code ignored;
    return settings.driver == Driver::Sqlite && std::filesystem::exists(settings.database, ignored);
}

// Opens the database for a command that may create it. A SQLite file this call created is
// removed again when `work` fails, so a failed command leaves nothing behind.
template <class Work>
void withCreatedDatabase(const ConnectionSettings& settings, Work&& work) {
    const bool created = settings.driver == Driver::Sqlite && !sqliteFileExists(settings);
    try {
        SiteDatabase db(settings, SiteDatabase::OpenMode::Create);
        work(db);
    } catch (...) {
        if (created) {
            std::error_code ignored;
            std::filesystem::remove(settings.database, ignored);
        }
        throw;
    }
}

void printCards(SiteDatabase& db) {
    const std::vector<std::string> typeNames = personTypeNames(db);
    const std::vector<CardListing> cards = listCards(db);
    std::printf("%8s  %20s  %-28s  %-14s  %6s  %10s  %12s\n", "CardID", "KeyNumber", "Holder",
                "Type", "Active", "CardStatus", "StatusReason");
    for (const CardListing& card : cards) {
        std::string type = "-";
        if (card.personType) {
            type = *card.personType < static_cast<int>(typeNames.size())
                       ? typeNames[static_cast<size_t>(*card.personType)]
                       : "Type " + std::to_string(*card.personType);
        }
        std::printf("%8lld  %20lld  %-28s  %-14s  %6d  %10d  %12d\n",
                    static_cast<long long>(card.cardId), static_cast<long long>(card.keyNumber),
                    card.holder ? card.holder->c_str() : "-", type.c_str(), card.active,
                    card.cardStatus, card.statusReason);
    }
    std::printf("%zu cards\n", cards.size());
}

int run(const Arguments& args) {
    const ConnectionSettings settings = settingsFor(args);
    const std::string where = describe(settings);
    if (args.command == "init") {
        withCreatedDatabase(settings, [&](SiteDatabase& db) {
            if (db.hasSchema()) throw Error("The site tables already exist in " + where);
            db.createSchema();
        });
        std::printf("Created the site tables in %s\n", where.c_str());
    } else if (args.command == "demo" || args.command == "generate") {
        withCreatedDatabase(settings, [&](SiteDatabase& db) {
            if (!db.hasSchema()) db.createSchema();
            const auto start = std::chrono::steady_clock::now();
            if (args.command == "demo") {
                fillDemoSite(db, std::time(nullptr));
            } else {
                GenerateOptions options = args.generate;
                options.now = std::time(nullptr);
                generateSite(db, options);
            }
            const double seconds =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            std::printf("Filled %s: %lld holders, %lld cards, %lld transactions in %.1f s\n",
                        where.c_str(), static_cast<long long>(countRows(db, "personnel")),
                        static_cast<long long>(countRows(db, "Keycards")),
                        static_cast<long long>(countRows(db, "Transactions")), seconds);
        });
    } else {
        SiteDatabase db(settings, SiteDatabase::OpenMode::Existing);
        printCards(db);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    Arguments args;
    try {
        args = parseArguments(argc, argv);
    } catch (const UsageError& e) {
        std::fprintf(stderr, "dormex-site: %s\nTry 'dormex-site --help'.\n", e.message.c_str());
        return kExitUsage;
    }
    if (args.help) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    int status = kExitFailure;
    dormex::Guarded([&] { status = run(args); },
                    [](const std::string& message) {
                        std::fprintf(stderr, "dormex-site: %s\n", message.c_str());
                    });
    return status;
}
