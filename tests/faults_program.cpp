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

// The library's card, killing the process once its Save has returned for the last save left.
class KillingCard : public Card {
public:
    KillingCard(std::shared_ptr<Card> real, long* savesLeft)
        : m_real(std::move(real)), m_savesLeft(savesLeft) {}
    void SetActive(std::int32_t a) override { m_real->SetActive(a); }
    void SetCardStatus(std::int32_t s) override { m_real->SetCardStatus(s); }
    void SetStatusReason(std::int32_t r) override { m_real->SetStatusReason(r); }
    void Save() override {
        m_real->Save();
        if (--*m_savesLeft == 0) std::raise(SIGKILL);
    }
    void QueueDownload(std::int32_t a, std::int32_t b, std::int32_t c) override {
        m_real->QueueDownload(a, b, c);
    }

private:
    std::shared_ptr<Card> m_real;
    long* m_savesLeft;
};

class KillingCollection : public CardCollection {
public:
    KillingCollection(std::shared_ptr<CardCollection> real, long* savesLeft)
        : m_real(std::move(real)), m_savesLeft(savesLeft) {}
    std::int32_t Count() override { return m_real->Count(); }
    std::shared_ptr<Card> Item(std::int32_t index) override {
        auto card = m_real->Item(index);
        return card ? std::make_shared<KillingCard>(std::move(card), m_savesLeft) : nullptr;
    }

private:
    std::shared_ptr<CardCollection> m_real;
    long* m_savesLeft;
};

class KillingTop : public TopLevelObject {
public:
    KillingTop(std::shared_ptr<TopLevelObject> real, long* savesLeft)
        : m_real(std::move(real)), m_savesLeft(savesLeft) {}
    std::shared_ptr<Recordset> RunSql(const std::string& sql) override {
        return m_real->RunSql(sql);
    }
    std::shared_ptr<CardCollection> FindKeycards(std::int32_t facility, std::int64_t key) override {
        auto cards = m_real->FindKeycards(facility, key);
        return cards ? std::make_shared<KillingCollection>(std::move(cards), m_savesLeft) : nullptr;
    }

private:
    std::shared_ptr<TopLevelObject> m_real;
    long* m_savesLeft;
};

class FaultyShell : public dormex::gui::QtShell {
public:
    using QtShell::QtShell;
    CreateFunction siteLibrary(bool readOnly) override {
        CreateFunction real = QtShell::siteLibrary(readOnly);
        if (m_savesLeft <= 0) return real;
        return [this, real]() -> std::shared_ptr<TopLevelObject> {
            return std::make_shared<KillingTop>(real(), &m_savesLeft);
        };
    }

private:
    long m_savesLeft = killAfterSave();
};

}  // namespace

int main(int argc, char** argv) {
    FaultyShell shell(argc, argv);
    return dormex::gui::RunQtProgram(argc, argv, shell);
}
