#include "core/ModelTable.h"

#include "core/Log.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QReadLocker>
#include <QReadWriteLock>
#include <QWriteLocker>

namespace
{
QReadWriteLock tableLock;
QList<ModelRecord>& table()
{
    static QList<ModelRecord> models;
    return models;
}
} // namespace

void ModelTable::readModels(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        PSM_LOG << "readConfig:"
                << "The config file config file not found!";
        return;
    }
    QList<ModelRecord> models;
    QList<int> skipped;
    if (!parseModels(file.readAll(), models, &skipped)) {
        PSM_LOG << "readConfig:"
                << "The config file error!";
        return;
    }
    for (int index : qAsConst(skipped)) {
        PSM_LOG << "readConfig:"
                << "models entry without a model text skipped:" << index;
    }
    for (const ModelRecord& record : models) {
        addModel(record);
    }
}

bool ModelTable::parseModels(const QByteArray& content, QList<ModelRecord>& models, QList<int>* skipped)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(content, &error);
    if (document.isNull() || error.error != QJsonParseError::NoError) {
        return false;
    }
    // An array at the top level has no "models": object() is then empty.
    const QJsonArray entries = document.object().value(QStringLiteral("models")).toArray();
    for (int i = 0; i < entries.size(); ++i) {
        const QJsonObject entry = entries.at(i).toObject();
        ModelRecord record;
        record.pid = entry.value(QStringLiteral("pid")).toString();
        record.vid = entry.value(QStringLiteral("vid")).toString();
        record.model = entry.value(QStringLiteral("model")).toString();
        record.supportToner = entry.value(QStringLiteral("supportToner")).toBool(false);
        // An empty model text occurs in every make-and-model: the agent would
        // take every queue for a supported printer and log in to it.
        if (record.model.isEmpty()) {
            if (skipped) {
                skipped->append(i);
            }
            continue;
        }
        models.append(record);
    }
    return true;
}

QList<ModelRecord> ModelTable::getModels()
{
    QReadLocker locker(&tableLock);
    return table();
}

void ModelTable::addModel(const ModelRecord& record)
{
    QWriteLocker locker(&tableLock);
    table().append(record);
}

ModelRecord ModelTable::findModelByText(const QString& text)
{
    QReadLocker locker(&tableLock);
    for (const ModelRecord& record : table()) {
        if (!record.model.isEmpty() && text.contains(record.model)) {
            return record;
        }
    }
    return {};
}

bool ModelTable::isSupportedModel(const QString& text)
{
    QReadLocker locker(&tableLock);
    for (const ModelRecord& record : table()) {
        if (!record.model.isEmpty() && text.contains(record.model)) {
            return true;
        }
    }
    return false;
}

void ModelTable::clear()
{
    QWriteLocker locker(&tableLock);
    table().clear();
}
