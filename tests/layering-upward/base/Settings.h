#pragma once
#include "gui/Window.h"
