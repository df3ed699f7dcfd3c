// The accounts, for admins only (the router refuses everyone else with 403).
#include "web/WebInternal.h"
#include "web/WebTexts.h"

#include <QJsonArray>
#include <QJsonObject>

namespace qst::web {

namespace {

QJsonObject AccountJson(const Account &a)
{
    QJsonArray meters;
    for (quint16 m : a.meters)
        meters.append(int(m));
    QJsonArray groups;
    for (int g : a.groups)
        groups.append(g);
    return QJsonObject{{QStringLiteral("name"), a.name},
                       {QStringLiteral("role"), RoleName(a.role)},
                       {QStringLiteral("meters"), meters},
                       {QStringLiteral("groups"), groups}};
}

// Role, meters and groups of a request body onto an account; false on a bad value.
bool ReadAccountFields(const QJsonObject &body, Account *account)
{
    if (body.contains(QStringLiteral("role")) && !ParseRole(body.value(QStringLiteral("role")).toString(), &account->role))
        return false;
    if (body.contains(QStringLiteral("meters"))) {
        if (!body.value(QStringLiteral("meters")).isArray())
            return false;
        account->meters.clear();
        for (const QJsonValue &v : body.value(QStringLiteral("meters")).toArray()) {
            const double d = v.toDouble(-1);
            if (!v.isDouble() || d < 0 || d > 65535 || d != std::floor(d))
                return false;
            account->meters.append(quint16(d));
        }
    }
    if (body.contains(QStringLiteral("groups"))) {
        if (!body.value(QStringLiteral("groups")).isArray())
            return false;
        account->groups.clear();
        for (const QJsonValue &v : body.value(QStringLiteral("groups")).toArray()) {
            const double d = v.toDouble(-1);
            if (!v.isDouble() || d < 0 || d > 1e9 || d != std::floor(d))
                return false;
            account->groups.append(int(d));
        }
    }
    return true;
}

QJsonObject Body(const Call &c, bool *ok)
{
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(c.req.body), &error);
    *ok = error.error == QJsonParseError::NoError && doc.isObject();
    return doc.object();
}

void ListUsers(Call &c)
{
    QJsonArray array;
    for (const Account &a : c.services.accounts.List())
        array.append(AccountJson(a));
    SendJson(c.res, 200, QJsonDocument(array));
}

void AddUser(Call &c)
{
    bool ok = false;
    const QJsonObject body = Body(c, &ok);
    Account account;
    account.name = body.value(QStringLiteral("name")).toString();
    if (!ok || !body.value(QStringLiteral("password")).isString() || !ReadAccountFields(body, &account)
        || !AccountStore::ValidName(account.name))
        return SendApiError(c.res, 400, texts::kBadRequest);
    if (c.services.accounts.Find(account.name))
        return SendApiError(c.res, 409, QStringLiteral("Пользователь с таким именем уже есть"));
    QString error;
    if (!c.services.accounts.Add(account, body.value(QStringLiteral("password")).toString(), &error))
        return SendApiError(c.res, 400, error);
    c.Audit(QStringLiteral("account added: %1 (%2)").arg(account.name, RoleName(account.role)));
    SendJson(c.res, 201, QJsonDocument(AccountJson(account)));
}

void UpdateUser(Call &c)
{
    bool ok = false;
    const QJsonObject body = Body(c, &ok);
    const std::optional<Account> found = c.services.accounts.Find(c.args.value(0));
    if (!found)
        return SendApiError(c.res, 404, texts::kNotFound);
    Account account = *found;
    if (!ok || !ReadAccountFields(body, &account)
        || (body.contains(QStringLiteral("password")) && !body.value(QStringLiteral("password")).isString()))
        return SendApiError(c.res, 400, texts::kBadRequest);
    QString error;
    if (body.contains(QStringLiteral("password"))
        && !c.services.accounts.SetPassword(account.name, body.value(QStringLiteral("password")).toString(), &error))
        return SendApiError(c.res, 400, error);
    if (!c.services.accounts.Update(account, &error))
        return SendApiError(c.res, 409, error);
    // A changed password ends the account's other sessions.
    if (body.contains(QStringLiteral("password")) && account.name != c.caller.account.name)
        c.services.sessions.RemoveUser(account.name);
    c.Audit(QStringLiteral("account changed: %1 (%2)").arg(account.name, RoleName(account.role)));
    SendJson(c.res, 200, QJsonDocument(AccountJson(account)));
}

void DeleteUser(Call &c)
{
    const QString name = c.args.value(0);
    if (!c.services.accounts.Find(name))
        return SendApiError(c.res, 404, texts::kNotFound);
    QString error;
    if (!c.services.accounts.Remove(name, &error))
        return SendApiError(c.res, 409, error);
    c.services.sessions.RemoveUser(name);
    c.Audit(QStringLiteral("account removed: %1").arg(name));
    c.res.status = 204;
}

} // namespace

QList<Route> UserRoutes()
{
    return {
        {"GET", "/api/v1/users", Role::Admin, false, false, ListUsers},
        {"POST", "/api/v1/users", Role::Admin, false, false, AddUser},
        {"PUT", "/api/v1/users/([^/]{1,256})", Role::Admin, false, false, UpdateUser},
        {"DELETE", "/api/v1/users/([^/]{1,256})", Role::Admin, false, false, DeleteUser},
    };
}

} // namespace qst::web
