#ifndef PSM_MODELTABLE_H
#define PSM_MODELTABLE_H

#include <QList>
#include <QString>

// One supported printer model as config.json lists it.
struct ModelRecord {
    QString vid;
    QString pid;
    QString model;
    bool supportToner = false;
};

// The process-wide list of supported models. It is filled once at start-up,
// before the worker threads run, and only read afterwards; the lock makes the
// rare later write (tests) safe all the same.
class ModelTable
{
public:
    static void readModels(const QString& path);
    // The "models" of a config.json content; false when it is not JSON.
    // Entries whose "model" is missing, empty or not a string are left out
    // (their positions go to skipped).
    static bool parseModels(const QByteArray& content, QList<ModelRecord>& models, QList<int>* skipped = nullptr);
    static QList<ModelRecord> getModels();
    static void addModel(const ModelRecord& record);
    // The first record whose model text occurs in the given text, else an
    // empty record. A record with an empty model text matches nothing.
    static ModelRecord findModelByText(const QString& text);
    static bool isSupportedModel(const QString& text);
    static void clear();
};

#endif // PSM_MODELTABLE_H
