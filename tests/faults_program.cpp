// dormex-faults: the Linux program with the one fault the kill test asks for, built for the fault
// tests only. With DORMEX_SITELIB_FAULT=kill-after-save:N the process kills itself (SIGKILL)
// right after the N-th card save has returned, so committed, before that card's QueueDownload.
#include <csignal>
#include <cstdlib>
#include <memory>
#include <string>

#include "gui/QtShell.h"
#include "site/SiteLibrary.h"

namespace {

// The number of the save after which the process is killed, 0 for none.
long killAfterSave() {
    const char* fault = std::getenv("DORMEX_SITELIB_FAULT");
    const std::string prefix = "kill-after-save:";
    if (!fault || std::string(fault).rfind(prefix, 0) != 0) return 0;
    return std::strtol(fault + prefix.size(), nullptr, 10);
}

using namespace dormex::site;

// Saves left before the process is killed, shared by every card of every connection.
long savesLeft = killAfterSave();

// Forwards to the library's real `Object`.
template <class Object>
class Forwarding : public Object {
public:
    explicit Forwarding(std::shared_ptr<Object> real) : m_real(std::move(real)) {}

protected:
    std::shared_ptr<Object> m_real;
};

// The library's card, killing the process once its Save has returned for the last save left.
class KillingCard : public Forwarding<Card> {
public:
    using Forwarding::Forwarding;
    void SetActive(std::int32_t a) override { m_real->SetActive(a); }
    void SetCardStatus(std::int32_t s) override { m_real->SetCardStatus(s); }
    void SetStatusReason(std::int32_t r) override { m_real->SetStatusReason(r); }
    void Save() override {
        m_real->Save();
        if (--savesLeft == 0) std::raise(SIGKILL);
    }
    void QueueDownload(std::int32_t a, std::int32_t b, std::int32_t c) override {
        m_real->QueueDownload(a, b, c);
    }
};

class KillingCollection : public Forwarding<CardCollection> {
public:
    using Forwarding::Forwarding;
    std::int32_t Count() override { return m_real->Count(); }
    std::shared_ptr<Card> Item(std::int32_t index) override {
        auto card = m_real->Item(index);
        return card ? std::make_shared<KillingCard>(std::move(card)) : nullptr;
    }
};

class KillingTop : public Forwarding<TopLevelObject> {
public:
    using Forwarding::Forwarding;
    std::shared_ptr<Recordset> RunSql(const std::string& sql) override {
        return m_real->RunSql(sql);
    }
    std::shared_ptr<CardCollection> FindKeycards(std::int32_t facility, std::int64_t key) override {
        auto cards = m_real->FindKeycards(facility, key);
        return cards ? std::make_shared<KillingCollection>(std::move(cards)) : nullptr;
    }
};

class FaultyShell : public dormex::gui::QtShell {
public:
    using QtShell::QtShell;
    CreateFunction siteLibrary(bool readOnly) override {
        CreateFunction real = QtShell::siteLibrary(readOnly);
        if (savesLeft <= 0) return real;
        return [real]() -> std::shared_ptr<TopLevelObject> {
            return std::make_shared<KillingTop>(real());
        };
    }
};

}  // namespace

int main(int argc, char** argv) {
    FaultyShell shell(argc, argv);
    return dormex::gui::RunQtProgram(argc, argv, shell);
}
