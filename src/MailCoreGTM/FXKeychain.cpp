// GLib's D-Bus headers name struct members "signals", which Qt defines as a keyword.
#pragma push_macro("signals")
#undef signals
#include <libsecret/secret.h>
#pragma pop_macro("signals")

#include "MailCoreGTM/FXKeychain.h"

#include "Utils/Log.h"
#include "openmeta/OpenMeta.h"

#include <QStringDecoder>

#include <plist/plist.h>

#include <memory>

namespace {

// Tarnwick's items carry this schema name; searches match it, so an instance without a
// service never reaches other programs' items that happen to have an "account".
const SecretSchema *itemSchema()
{
    static const SecretSchema schema = [] {
        SecretSchema s{};
        s.name = "org.tarnwick.Tarnwick.Password";
        s.flags = SECRET_SCHEMA_NONE;
        s.attributes[0].name = "service";
        s.attributes[0].type = SECRET_SCHEMA_ATTRIBUTE_STRING;
        s.attributes[1].name = "account";
        s.attributes[1].type = SECRET_SCHEMA_ATTRIBUTE_STRING;
        return s;
    }();
    return &schema;
}

struct GErrorDeleter {
    void operator()(GError *e) const { g_error_free(e); }
};
struct HashDeleter {
    void operator()(GHashTable *t) const { g_hash_table_unref(t); }
};
struct ValueDeleter {
    void operator()(SecretValue *v) const { secret_value_unref(v); }
};
struct PlistDeleter {
    void operator()(void *node) const { plist_free(static_cast<plist_t>(node)); }
};

// The attribute table of one query. The table points into `service` and `account`,
// which must outlive it.
std::unique_ptr<GHashTable, HashDeleter> attributesFor(const QByteArray &service, const QByteArray &account)
{
    std::unique_ptr<GHashTable, HashDeleter> table(g_hash_table_new(g_str_hash, g_str_equal));
    if (!service.isEmpty())
        g_hash_table_insert(table.get(), const_cast<char *>("service"), const_cast<char *>(service.constData()));
    g_hash_table_insert(table.get(), const_cast<char *>("account"), const_cast<char *>(account.constData()));
    return table;
}

long statusFor(const GError *error)
{
    if (!error)
        return FXKeychain::Success;
    if (error->domain == SECRET_ERROR && error->code == SECRET_ERROR_IS_LOCKED)
        return FXKeychain::InteractionNotAllowed;
    if (error->domain == G_IO_ERROR && error->code == G_IO_ERROR_CANCELLED)
        return FXKeychain::UserCanceled;
    // No bus, no service on it, a service that does not answer: nothing to store into.
    if (error->domain == G_DBUS_ERROR || error->domain == G_IO_ERROR || error->domain == G_SPAWN_ERROR)
        return FXKeychain::NotAvailable;
    return FXKeychain::InternalComponent;
}

bool invalidKey(const QString &key)
{
    if (!key.isEmpty())
        return false;
    TLog(QStringLiteral("Invalid parameter not satisfying: %1").arg(QStringLiteral("key")));
    return true;
}

// Only a document that opens as a property list does is taken for one: the XML reader
// would otherwise make a password such as "<string>x</string>" read back as "x".
bool looksLikePropertyList(const QByteArray &bytes)
{
    if (bytes.startsWith("bplist"))
        return true;
    const QByteArray head = bytes.left(64).trimmed();
    return head.startsWith("<?xml") || head.startsWith("<!DOCTYPE plist") || head.startsWith("<plist");
}

} // namespace

FXKeychain &FXKeychain::defaultKeychain()
{
    static FXKeychain shared(applicationIdentifier(), QString());
    return shared;
}

void FXKeychain::keepUsersSessionBus()
{
    // GLib keeps one session connection per process while anyone holds it; libsecret
    // uses that one. Held here for good, it stays the user's bus whatever the
    // environment says later.
    static GDBusConnection *const connection = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
    Q_UNUSED(connection);
}

QString FXKeychain::applicationIdentifier() { return QStringLiteral("org.tarnwick.Tarnwick"); }

FXKeychain::FXKeychain(const QString &service, const QString &accessGroup)
    : m_service(service), m_accessGroup(accessGroup)
{
}

bool FXKeychain::setObject(const QVariant &value, const QString &key) { return putObject(value, key) == Success; }

bool FXKeychain::removeObjectForKey(const QString &key) { return putObject(QVariant(), key) == Success; }

long FXKeychain::putObject(const QVariant &value, const QString &key)
{
    if (invalidKey(key))
        return Param;
    if (!value.isValid())
        return removeItem(key);
    QString error;
    const QByteArray data = encode(value, &error);
    if (data.isNull()) {
        // Treating this as a removal would delete the value already stored.
        TLog(QStringLiteral("FXKeychain failed to encode object for key '%1', error: %2").arg(key, error));
        return Param;
    }
    const long status = setItemData(data, key);
    if (status != Success)
        TLog(QStringLiteral("FXKeychain failed to store data for key '%1', error: %2").arg(key).arg(status));
    return status;
}

long FXKeychain::removeItem(const QString &key)
{
    const QByteArray service = m_service.toUtf8(), account = key.toUtf8();
    const auto attributes = attributesFor(service, account);
    GError *raw = nullptr;
    const gboolean removed = secret_password_clearv_sync(itemSchema(), attributes.get(), nullptr, &raw);
    std::unique_ptr<GError, GErrorDeleter> error(raw);
    long status = statusFor(error.get());
    if (status == Success && !removed)
        status = ItemNotFound;
    if (status != Success)
        TLog(QStringLiteral("FXKeychain failed to delete data for key '%1', error: %2").arg(key).arg(status));
    return status;
}

long FXKeychain::setItemData(const QByteArray &bytes, const QString &key)
{
    if (invalidKey(key))
        return Param;
    const QByteArray service = m_service.toUtf8(), account = key.toUtf8();
    const auto attributes = attributesFor(service, account);
    const QByteArray label = QStringLiteral("Tarnwick: %1").arg(key).toUtf8();
    // The service replaces an item with the same attributes in one step, so a failed
    // store never leaves the key without its previous value.
    std::unique_ptr<SecretValue, ValueDeleter> value(
        secret_value_new(bytes.constData(), bytes.size(), "application/octet-stream"));
    GError *raw = nullptr;
    secret_password_storev_binary_sync(itemSchema(), attributes.get(), SECRET_COLLECTION_DEFAULT, label.constData(),
                                       value.get(), nullptr, &raw);
    std::unique_ptr<GError, GErrorDeleter> error(raw);
    return statusFor(error.get());
}

std::optional<QByteArray> FXKeychain::itemData(const QString &key) const
{
    if (invalidKey(key))
        return std::nullopt;
    const QByteArray service = m_service.toUtf8(), account = key.toUtf8();
    const auto attributes = attributesFor(service, account);
    GError *raw = nullptr;
    std::unique_ptr<SecretValue, ValueDeleter> value(
        secret_password_lookupv_binary_sync(itemSchema(), attributes.get(), nullptr, &raw));
    std::unique_ptr<GError, GErrorDeleter> error(raw);
    if (!value)
        return std::nullopt;
    gsize length = 0;
    const gchar *bytes = secret_value_get(value.get(), &length);
    return QByteArray(bytes, qsizetype(length));
}

QVariant FXKeychain::objectForKey(const QString &key) const
{
    const auto data = itemData(key);
    if (!data)
        return {};
    QString error;
    const QVariant value = decode(*data, &error);
    if (!value.isValid())
        TLog(QStringLiteral("FXKeychain failed to decode data for key '%1', error: %2").arg(key, error));
    return value;
}

bool FXKeychain::isUnreachable(long status)
{
    return status == NotAvailable || status == InteractionNotAllowed || status == UserCanceled;
}

QByteArray FXKeychain::encode(const QVariant &value, QString *error)
{
    if (value.typeId() == QMetaType::QString) {
        QByteArray utf8 = value.toString().toUtf8();
        if (utf8.isNull())
            utf8 = QByteArray("", 0); // the empty string is a value, not a failure
        return utf8;
    }
    return OpenMeta::binaryPropertyList(value, error);
}

QVariant FXKeychain::decode(const QByteArray &bytes, QString *error)
{
    if (looksLikePropertyList(bytes)) {
        plist_t node = nullptr;
        plist_from_memory(bytes.constData(), uint32_t(bytes.size()), &node);
        if (node) {
            std::unique_ptr<void, PlistDeleter> root(node);
            if (plist_get_node_type(node) == PLIST_DICT && plist_dict_get_item(node, "$archiver")) {
                if (error)
                    *error = QStringLiteral("keyed archives are not read");
                return {};
            }
            // One converter between property lists and values: OpenMeta's, which reads
            // the binary form.
            char *bin = nullptr;
            uint32_t length = 0;
            plist_to_bin(node, &bin, &length);
            if (bin) {
                const QByteArray binary(bin, qsizetype(length));
                plist_to_bin_free(bin);
                const QVariant value = OpenMeta::valueOfPropertyList(binary);
                if (value.isValid())
                    return value;
            }
        }
    }
    QStringDecoder utf8(QStringDecoder::Utf8, QStringConverter::Flag::Stateless);
    const QString text = utf8(bytes);
    if (!utf8.hasError())
        return text;
    if (error)
        *error = QStringLiteral("the data is neither a property list nor UTF-8 text");
    return {};
}
