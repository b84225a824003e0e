// Status numbers, open modes and lock modes of the record store, as the record-store
// library publishes them. The program itself names none of them.
#pragma once

#include <cstdint>

// clang-format off
constexpr int16_t BTRV_ERR_NONE              = 0;
constexpr int16_t BTRV_ERR_INVALID_OP        = 1;
constexpr int16_t BTRV_ERR_IO                = 2;
constexpr int16_t BTRV_ERR_FILE_NOT_OPEN     = 3;
constexpr int16_t BTRV_ERR_KEY_NOT_FOUND     = 4;
constexpr int16_t BTRV_ERR_DUPLICATE_KEY     = 5;
constexpr int16_t BTRV_ERR_INVALID_KEY_NUM   = 6;
constexpr int16_t BTRV_ERR_DIFFERENT_KEY_NUM = 7;
constexpr int16_t BTRV_ERR_INVALID_POSITION  = 8;
constexpr int16_t BTRV_ERR_END_OF_FILE       = 9;
constexpr int16_t BTRV_ERR_FILE_NOT_FOUND    = 12;
constexpr int16_t BTRV_ERR_INACTIVE          = 20;
constexpr int16_t BTRV_ERR_KEY_BUF_SHORT     = 21;
constexpr int16_t BTRV_ERR_DATA_BUF_SHORT    = 22;
constexpr int16_t BTRV_ERR_INVALID_REC_LEN   = 28;
constexpr int16_t BTRV_ERR_ACCESS_DENIED     = 46;

constexpr int16_t BTRV_OPEN_NORMAL    = 1;
constexpr int16_t BTRV_OPEN_SHARE     = 1;
constexpr int16_t BTRV_OPEN_READONLY  = -2;
constexpr int16_t BTRV_OPEN_EXCLUSIVE = -4;

constexpr int16_t BTRV_LOCK_NONE         = 0;
constexpr int16_t BTRV_LOCK_SINGLE_WAIT  = 100;
constexpr int16_t BTRV_LOCK_SINGLE_NOWAIT = 200;
constexpr int16_t BTRV_LOCK_MULTI_WAIT   = 300;
constexpr int16_t BTRV_LOCK_MULTI_NOWAIT = 400;

constexpr int16_t BTRV_KEY_STRING  = 0;
constexpr int16_t BTRV_KEY_INTEGER = 1;
constexpr int16_t BTRV_KEY_ZSTRING = 11;
// clang-format on
