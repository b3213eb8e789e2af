// The tool's own texts, printed exactly as they stand here.
#pragma once

constexpr const char BannerText[] =
    "Tessaril v1.0 by the Tessaril developers [https://tessaril.example.org/]";
constexpr const char UsageText[] =
    "Usage: Brovask.exe <filename or filemask> - extract files from package";
constexpr const char SeparatorText[] = "==============================================";
constexpr const char NoFilesFound[] = "0 files found";
constexpr const char ErrorOpenFile[] = "Error open file.";
constexpr const char ErrorReadFile[] = "Error read file.";
constexpr const char ErrorCreateFile[] = "Error create file.";
constexpr const char ErrorWriteFile[] = "Error write file.";
constexpr const char NotUnrealPackage[] = "Unknown format or not Unreal Package.";
constexpr const char NotMusic[] = "Not found \"Music\" object in this file.";
constexpr const char CorruptTables[] = "Corrupt package tables.";
