#pragma once

// What the collector knows of the site product it reads.

// The program file of the site product's Transaction Manager; no cycle runs
// while no process of that image is running.
inline constexpr char kTransactionManagerImage[] = "Omnid.exe";

// The oldest installed site product version the collector supports.
inline constexpr char kOldestSupportedVersion[] = "18.9.0.0";
