#include "package_builder.h"

#include <stdexcept>

namespace {

void Append(TBytes& out, const TBytes& more) {
    out.insert(out.end(), more.begin(), more.end());
}

void AppendU32(TBytes& out, uint32_t value) {
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

void AppendU16(TBytes& out, uint16_t value) {
    out.push_back(static_cast<uint8_t>(value));
    out.push_back(static_cast<uint8_t>(value >> 8));
}

} // namespace

TBytes CompactIndex(int32_t value) {
    uint32_t magnitude =
        value < 0 ? 0u - static_cast<uint32_t>(value) : static_cast<uint32_t>(value);
    TBytes out;
    uint8_t first = static_cast<uint8_t>(magnitude & 0x3F);
    if (value < 0)
        first |= 0x80;
    magnitude >>= 6;
    if (magnitude != 0)
        first |= 0x40;
    out.push_back(first);
    for (int i = 0; i < 3 && magnitude != 0; ++i) {
        uint8_t next = static_cast<uint8_t>(magnitude & 0x7F);
        magnitude >>= 7;
        if (magnitude != 0)
            next |= 0x80;
        out.push_back(next);
    }
    if (magnitude != 0)
        out.push_back(static_cast<uint8_t>(magnitude));
    return out;
}

TBytes MusicObjectData(uint16_t version, const TBytes& payload) {
    TBytes out(version > 61 ? 6 : 2, 0);
    Append(out, CompactIndex(static_cast<int32_t>(payload.size())));
    Append(out, payload);
    return out;
}

TBytes BuildPackage(const TPackageSpec& spec, TPackageLayout* layout) {
    TBytes out(36 + spec.LeadingGap, 0);
    TPackageLayout where;
    for (const TBuildExport& e : spec.Exports) {
        where.SerialOffsets.push_back(static_cast<uint32_t>(out.size()));
        Append(out, e.Serial);
    }
    where.NameOffset = static_cast<uint32_t>(out.size());
    for (const std::string& name : spec.Names) {
        if (spec.Version >= 64) {
            if (name.size() + 1 > 255)
                throw std::runtime_error("name too long for the length form");
            out.push_back(static_cast<uint8_t>(name.size() + 1));
        }
        Append(out, Text(name));
        out.push_back(0);
        AppendU32(out, spec.NameFlags);
    }
    where.ImportOffset = static_cast<uint32_t>(out.size());
    for (const TBuildImport& i : spec.Imports) {
        Append(out, CompactIndex(i.ClassPackage));
        Append(out, CompactIndex(i.ClassName));
        AppendU32(out, static_cast<uint32_t>(i.PackageIndex));
        Append(out, CompactIndex(i.ObjectName));
    }
    where.ExportOffset = static_cast<uint32_t>(out.size());
    for (size_t n = 0; n < spec.Exports.size(); ++n) {
        const TBuildExport& e = spec.Exports[n];
        Append(out, CompactIndex(e.ClassIndex));
        Append(out, CompactIndex(e.SuperIndex));
        AppendU32(out, static_cast<uint32_t>(e.PackageIndex));
        Append(out, CompactIndex(e.ObjectName));
        AppendU32(out, static_cast<uint32_t>(e.ObjectFlags));
        int64_t size = e.SerialSize >= 0 ? e.SerialSize : static_cast<int64_t>(e.Serial.size());
        Append(out, CompactIndex(static_cast<int32_t>(size)));
        int32_t offset =
            e.OverrideOffset ? e.SerialOffset : static_cast<int32_t>(where.SerialOffsets[n]);
        Append(out, CompactIndex(offset));
    }

    TBytes header;
    AppendU32(header, 0x9E2A83C1u);
    AppendU16(header, spec.Version);
    AppendU16(header, spec.Licensee);
    AppendU32(header, spec.PackageFlags);
    AppendU32(header, static_cast<uint32_t>(spec.Names.size()));
    AppendU32(header, where.NameOffset);
    AppendU32(header, static_cast<uint32_t>(spec.Exports.size()));
    AppendU32(header, where.ExportOffset);
    AppendU32(header, static_cast<uint32_t>(spec.Imports.size()));
    AppendU32(header, where.ImportOffset);
    std::copy(header.begin(), header.end(), out.begin());
    if (layout != nullptr)
        *layout = where;
    return out;
}

TPackageSpec MusicPackageSpec(uint16_t version, const std::string& extension,
                              const std::vector<TMusicObject>& objects) {
    // The extension must stand at index objects-1; the fixed names follow
    // it and the objects' names come last.
    TPackageSpec spec;
    spec.Version = version;
    size_t extIndex = objects.empty() ? 0 : objects.size() - 1;
    std::vector<std::string> fixed = {"None", "Core", "Music"};
    spec.Names.assign(extIndex, "Filler");
    for (size_t i = 0; i < extIndex && i < fixed.size(); ++i)
        spec.Names[i] = fixed[i];
    spec.Names.push_back(extension);
    auto indexOf = [&](const std::string& name) {
        for (size_t i = 0; i < spec.Names.size(); ++i)
            if (spec.Names[i] == name)
                return static_cast<int32_t>(i);
        spec.Names.push_back(name);
        return static_cast<int32_t>(spec.Names.size() - 1);
    };
    TBuildImport musicClass;
    musicClass.ClassPackage = indexOf("Core");
    musicClass.ClassName = indexOf("Class");
    musicClass.ObjectName = indexOf("Music");
    spec.Imports.push_back(musicClass);
    for (const TMusicObject& object : objects) {
        TBuildExport e;
        e.ClassIndex = -1;
        e.ObjectName = indexOf(object.Name);
        e.ObjectFlags = 0x000F0004;
        e.Serial = MusicObjectData(version, object.Payload);
        spec.Exports.push_back(e);
    }
    return spec;
}

void PutU32(TBytes& bytes, size_t offset, uint32_t value) {
    for (size_t i = 0; i < 4; ++i)
        bytes.at(offset + i) = static_cast<uint8_t>(value >> (8 * i));
}

TBytes Text(const std::string& text) {
    return TBytes(text.begin(), text.end());
}
