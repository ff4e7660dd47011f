#pragma once

// The audio pipeline: input and output bases, the worker thread and the event dispatcher.
#include "pipeline/AuInput.h"
#include "pipeline/AuOutput.h"
#include "pipeline/AuFile.h"
#include "pipeline/EventHandler.h"
