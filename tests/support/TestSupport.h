#pragma once
// Shared helpers for the test programs.
