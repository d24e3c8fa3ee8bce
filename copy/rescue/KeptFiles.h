#pragma once

#include "copy/rescue/KeptRescue.h"
#include "runtime/files/CopyFolder.h"

#include <QString>

#include <optional>

namespace rt {
class Destination;
class PatchedFile;
}

// A copy's rescue kept beside its destination: the copy takes NAME.part (or
// NAME.1.part ...) at its first unreadable block, its map NAME.part.map; a
// copy written in place keeps the destination's name, with the first of
// NAME.map, NAME.1.map ... that is free.
class KeptDestination final : public KeptRescue {
public:
    // destination: the copy's final name, a drive-letter path.
    KeptDestination(rt::Destination &dest, const QString &destination);
    // Going on with a rescue kept as partName, its map mapName.
    KeptDestination(rt::Destination &dest, const QString &destination, const QString &partName, const QString &mapName);

    bool kept() const override { return m_folder.has_value(); }
    void keep() override;
    void flushCopy() override;
    void replaceMap(const QByteArray &content) override;

    QString partName() const { return m_part; }
    QString mapName() const { return m_map; }
    // The copy's folder; only once kept.
    const rt::CopyFolder &folder() const { return *m_folder; }

private:
    rt::Destination &m_dest;
    QString m_destination;
    QString m_part;
    QString m_map;
    std::optional<rt::CopyFolder> m_folder;
};

// A retry's: the earlier copy, written in place, and its map.
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
