// tavi — the whole public C++ interface.
#pragma once

#include "tavi/card.hpp"
#include "tavi/client.hpp"
#include "tavi/config.hpp"
#include "tavi/crypto.hpp"
#include "tavi/device.hpp"
#include "tavi/journal.hpp"
#include "tavi/records.hpp"
#include "tavi/requests.hpp"
#include "tavi/result.hpp"
#include "tavi/secret.hpp"
#include "tavi/service.hpp"
#include "tavi/store.hpp"
#include "tavi/version.hpp"
