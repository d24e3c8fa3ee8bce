#pragma once

#include "copy/rescue/KeptRescue.h"
#include "runtime/files/CopyFolder.h"

#include <QString>

namespace rt {
class PatchedFile;
}

// A retry's rescue: the earlier copy, written in place, and its map (a
// copy's own is kept by RescueFiles, the owner of its files).
class KeptPatch final : public KeptRescue {
public:
    KeptPatch(rt::PatchedFile &copy, const rt::CopyFolder &folder, const QString &mapName)
        : m_copy(copy), m_folder(folder), m_map(mapName)
    {
        mapSavedEarlier();
    }
    bool kept() const override { return true; }
    void keep() override {}
    void flushCopy() override;
    void replaceMap(const QByteArray &content) override;

private:
    rt::PatchedFile &m_copy;
    const rt::CopyFolder &m_folder;
    QString m_map;
};
