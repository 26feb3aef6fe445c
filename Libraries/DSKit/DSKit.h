// The graph components: TFilterGraph owns one filter graph and its builder
// (plain, capture or disc navigation), answers the builder's questions
// through its handlers, can publish the graph and keep its log, and turns the
// graph's events into its own; TFilter (a filter bound from a stored
// moniker), TSampleGrabber (the sample grabber with its frame event) and
// TVideoWindow (the video or mixing renderer placed in a parent window) each
// contribute one filter to it through IGraphComponent.
//
// Ownership: the creator frees each component. A graph holds the components
// attached to it by reference only and tells them when it goes away; a
// component detaches itself when it is destroyed. Everything but the frame
// event runs on the thread that created the graph.
//
// Each component has its header; this one offers them all.
#pragma once

#include "Libraries/DSKit/Filter.h"
#include "Libraries/DSKit/FilterGraph.h"
#include "Libraries/DSKit/SampleGrabber.h"
#include "Libraries/DSKit/VideoWindow.h"
