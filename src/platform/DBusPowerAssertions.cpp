#include "DBusPowerAssertions.h"

#include "X11ScreenSaver.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusServiceWatcher>
#include <QSocketNotifier>

#include <thread>
#include <vector>

namespace lullwatch {

namespace {

const QString gnomeSessionService = QStringLiteral("org.gnome.SessionManager");
const QString powerManagementService = QStringLiteral("org.freedesktop.PowerManagement");
const QString portalService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString screenSaverService = QStringLiteral("org.freedesktop.ScreenSaver");
const QString logindService = QStringLiteral("org.freedesktop.login1");

// gnome-session's and the portal's inhibit flags.
constexpr std::uint32_t suspendFlag = 4;
constexpr std::uint32_t idleFlag = 8;

bool isFinishedBefore(const QDBusPendingCall &call, std::chrono::steady_clock::time_point deadline)
{
    // The connection's own thread takes the reply in, so polling sees it
    // arrive without an event loop here. The call keeps its long D-Bus
    // timeout, so that an acceptance after the deadline can still be undone.
    while (!call.isFinished()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

} // namespace

DBusPowerAssertions::DBusPowerAssertions(QDBusConnection sessionBus, QDBusConnection systemBus,
                                         X11ScreenSaver *screenSaver, QObject *parent)
    : QObject(parent)
    , m_sessionBus(std::move(sessionBus))
    , m_systemBus(std::move(systemBus))
    , m_x11ScreenSaver(screenSaver)
{
    followOwners(m_sessionBus, {gnomeSessionService, powerManagementService, portalService, screenSaverService},
                 m_sessionOwners);
    followOwners(m_systemBus, {logindService}, m_systemOwners);
}

DBusPowerAssertions::~DBusPowerAssertions()
{
    for (const auto &[identifier, held] : m_held) {
        delete held.hangUp;
        releaseHeld(held);
    }
}

QString DBusPowerAssertions::serviceOf(Provider provider)
{
    switch (provider) {
    case Provider::GnomeSession:
        return gnomeSessionService;
    case Provider::PowerManagement:
        return powerManagementService;
    case Provider::Portal:
        return portalService;
    case Provider::Logind:
        return logindService;
    case Provider::ScreenSaver:
        return screenSaverService;
    case Provider::X11ScreenSaver:
        break;
    }
    return {};
}

QDBusMessage DBusPowerAssertions::methodCall(Provider provider, const QString &method)
{
    const auto [path, interface] = [provider]() -> std::pair<QString, QString> {
        switch (provider) {
        case Provider::GnomeSession:
            return {QStringLiteral("/org/gnome/SessionManager"), gnomeSessionService};
        case Provider::PowerManagement:
            return {QStringLiteral("/org/freedesktop/PowerManagement/Inhibit"),
                    QStringLiteral("org.freedesktop.PowerManagement.Inhibit")};
        case Provider::Portal:
            return {QStringLiteral("/org/freedesktop/portal/desktop"),
                    QStringLiteral("org.freedesktop.portal.Inhibit")};
        case Provider::Logind:
            return {QStringLiteral("/org/freedesktop/login1"), QStringLiteral("org.freedesktop.login1.Manager")};
        case Provider::ScreenSaver:
            return {QStringLiteral("/org/freedesktop/ScreenSaver"), screenSaverService};
        case Provider::X11ScreenSaver:
            break;
        }
        return {};
    }();
    return QDBusMessage::createMethodCall(serviceOf(provider), path, interface, method);
}

void DBusPowerAssertions::followOwners(QDBusConnection &bus, const QStringList &names, std::map<QString, bool> &owners)
{
    if (!bus.isConnected())
        return;
    // The watcher first, so that no change falls between the question and
    // the signals; the bus keeps its answers and signals in order.
    auto *watcher = new QDBusServiceWatcher(this);
    watcher->setConnection(bus);
    watcher->setWatchMode(QDBusServiceWatcher::WatchForOwnerChange);
    watcher->setWatchedServices(names);
    connect(watcher, &QDBusServiceWatcher::serviceOwnerChanged, this,
            [this, &owners](const QString &name, const QString &oldOwner, const QString &newOwner) {
                owners[name] = !newOwner.isEmpty();
                if (!oldOwner.isEmpty())
                    forgetOwner(name, oldOwner);
            });
    for (const QString &name : names) {
        auto question = QDBusMessage::createMethodCall(
            QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
            QStringLiteral("org.freedesktop.DBus"), QStringLiteral("NameHasOwner"));
        question << name;
        auto *answer = new QDBusPendingCallWatcher(bus.asyncCall(question), this);
        connect(answer, &QDBusPendingCallWatcher::finished, this, [&owners, name](QDBusPendingCallWatcher *call) {
            const QDBusMessage reply = call->reply();
            if (reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty())
                owners[name] = reply.arguments().constFirst().toBool();
            call->deleteLater();
        });
    }
}

QDBusConnection &DBusPowerAssertions::busOf(Provider provider)
{
    return provider == Provider::Logind ? m_systemBus : m_sessionBus;
}

bool DBusPowerAssertions::mayCall(Provider provider)
{
    const QDBusConnection &bus = busOf(provider);
    if (!bus.isConnected())
        return false;
    if (provider == Provider::Logind && !(bus.connectionCapabilities() & QDBusConnection::UnixFileDescriptorPassing))
        return false;
    // A name whose owner is not known yet is tried: the call fails at once
    // when nobody has the name.
    const auto &owners = provider == Provider::Logind ? m_systemOwners : m_sessionOwners;
    const auto known = owners.find(serviceOf(provider));
    return known == owners.end() || known->second;
}

std::optional<std::uint32_t> DBusPowerAssertions::create(Type type, std::string_view name)
{
    const auto deadline = std::chrono::steady_clock::now() + m_creationBudget;
    const QString reason = QString::fromUtf8(name.data(), static_cast<qsizetype>(name.size()));
    const QString application = QStringLiteral("Lullwatch");

    struct Attempt {
        Provider provider;
        std::uint32_t flags = 0;
    };
    const auto attempts = type == Type::PreventUserIdleSystemSleep
        ? std::vector<Attempt> {{Provider::GnomeSession, suspendFlag},
                                {Provider::PowerManagement},
                                {Provider::Portal, suspendFlag},
                                {Provider::Logind}}
        : std::vector<Attempt> {
            {Provider::ScreenSaver}, {Provider::GnomeSession, idleFlag}, {Provider::Portal, idleFlag}};

    for (const auto &[provider, flags] : attempts) {
        if (!mayCall(provider))
            continue;
        if (std::chrono::steady_clock::now() >= deadline)
            break;
        QDBusMessage message = methodCall(provider, QStringLiteral("Inhibit"));
        switch (provider) {
        case Provider::GnomeSession:
            message << QStringLiteral("lullwatch") << 0u << reason << flags;
            break;
        case Provider::Portal:
            message << QString() << flags << QVariantMap {{QStringLiteral("reason"), reason}};
            break;
        case Provider::Logind:
            message << QStringLiteral("idle") << application << reason << QStringLiteral("block");
            break;
        case Provider::PowerManagement:
        case Provider::ScreenSaver:
        case Provider::X11ScreenSaver:
            message << application << reason;
            break;
        }

        const QDBusPendingCall call = busOf(provider).asyncCall(message);
        if (!isFinishedBefore(call, deadline)) {
            releaseWhenAccepted(provider, call);
            break;
        }
        if (auto held = heldFrom(provider, call.reply())) {
            held->owner = call.reply().service();
            const auto entry = m_held.emplace(++m_lastIdentifier, std::move(*held)).first;
            if (provider == Provider::Logind)
                watchDescriptor(entry->first, entry->second);
            return m_lastIdentifier;
        }
    }
    // No screen saver service on the bus: the X server's own one, as long as
    // nothing else has the display's keep-awake in hand.
    if (type == Type::NoDisplaySleep && m_x11ScreenSaver && m_x11ScreenSaver->suspend()) {
        Held held;
        held.provider = Provider::X11ScreenSaver;
        m_held.emplace(++m_lastIdentifier, std::move(held));
        return m_lastIdentifier;
    }
    return std::nullopt;
}

std::optional<DBusPowerAssertions::Held> DBusPowerAssertions::heldFrom(Provider provider, const QDBusMessage &reply)
{
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return std::nullopt;
    const QVariant value = reply.arguments().constFirst();
    Held held;
    held.provider = provider;
    switch (provider) {
    case Provider::Portal:
        if (value.metaType() != QMetaType::fromType<QDBusObjectPath>())
            return std::nullopt;
        held.request = value.value<QDBusObjectPath>();
        break;
    case Provider::Logind:
        held.descriptor = value.value<QDBusUnixFileDescriptor>();
        if (!held.descriptor.isValid())
            return std::nullopt;
        break;
    case Provider::GnomeSession:
    case Provider::PowerManagement:
    case Provider::ScreenSaver:
    case Provider::X11ScreenSaver:
        if (value.metaType() != QMetaType::fromType<uint>())
            return std::nullopt;
        held.cookie = value.toUInt();
        break;
    }
    return held;
}

void DBusPowerAssertions::releaseWhenAccepted(Provider provider, const QDBusPendingCall &call)
{
    // Out of time, but the provider may still accept: undo that when it does.
    auto *watcher = new QDBusPendingCallWatcher(call, this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, provider](QDBusPendingCallWatcher *late) {
        if (const auto held = heldFrom(provider, late->reply()))
            releaseHeld(*held);
        late->deleteLater();
    });
}

void DBusPowerAssertions::watchDescriptor(std::uint32_t identifier, Held &held)
{
    // logind keeps the other end: when that closes, the inhibitor is gone.
    held.hangUp = new QSocketNotifier(held.descriptor.fileDescriptor(), QSocketNotifier::Read, this);
    connect(held.hangUp, &QSocketNotifier::activated, this, [this, identifier] {
        forget(identifier);
        reportLoss(identifier);
    });
}

void DBusPowerAssertions::forgetOwner(const QString &service, const QString &owner)
{
    // logind keeps its inhibitors across its own restarts; its descriptors
    // tell when one is gone.
    std::vector<std::uint32_t> lost;
    for (const auto &[identifier, held] : m_held) {
        if (held.provider != Provider::Logind && held.provider != Provider::X11ScreenSaver
            && serviceOf(held.provider) == service && (held.owner.isEmpty() || held.owner == owner))
            lost.push_back(identifier);
    }
    // All forgotten before any is reported, so that a handler's release of
    // another lost one sends nothing.
    for (const auto identifier : lost)
        forget(identifier);
    for (const auto identifier : lost)
        reportLoss(identifier);
}

void DBusPowerAssertions::forget(std::uint32_t identifier)
{
    const auto found = m_held.find(identifier);
    if (found == m_held.end())
        return;
    if (found->second.hangUp) {
        // Possibly from within its own signal.
        found->second.hangUp->setEnabled(false);
        found->second.hangUp->deleteLater();
    }
    m_held.erase(found); // closes a logind descriptor
}

void DBusPowerAssertions::release(std::uint32_t identifier)
{
    const auto found = m_held.find(identifier);
    if (found == m_held.end())
        return;
    releaseHeld(found->second);
    forget(identifier);
}

void DBusPowerAssertions::releaseHeld(const Held &held)
{
    // Sent without waiting for an answer: a provider that has gone away has
    // dropped its inhibitors already.
    QDBusMessage message;
    switch (held.provider) {
    case Provider::GnomeSession:
        message = methodCall(held.provider, QStringLiteral("Uninhibit")) << held.cookie;
        break;
    case Provider::PowerManagement:
    case Provider::ScreenSaver:
        message = methodCall(held.provider, QStringLiteral("UnInhibit")) << held.cookie;
        break;
    case Provider::Portal:
        message
            = QDBusMessage::createMethodCall(portalService, held.request.path(),
                                             QStringLiteral("org.freedesktop.portal.Request"), QStringLiteral("Close"));
        break;
    case Provider::Logind:
        return; // the descriptor closes with its last copy
    case Provider::X11ScreenSaver:
        m_x11ScreenSaver->resume();
        return;
    }
    busOf(held.provider).send(message);
}

} // namespace lullwatch
