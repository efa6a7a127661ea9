// Scene-graph node of one VideoRender item: draws the latest UYVY frame with raw OpenGL
// inside Qt Quick's render pass, fitted into the item with its aspect ratio kept (letter- or
// pillar-boxed), or a black rectangle when there is no frame.
//
// The frame's bytes go to the GPU unchanged, as a GL_RG8 texture of xres x yres texels (red:
// U for even pixels, V for odd ones; green: luma); the fragment shader converts to RGB.
//
// Threads: render(), prepare() and releaseResources() run on the scene-graph render thread;
// setGeometry() runs during the item's updatePaintNode (GUI thread blocked); setFrame() and
// frame() run on the GUI thread. m_frameLock guards m_frame only; every other field belongs
// to the render thread (or to the GUI thread while the render thread is blocked in sync).
#pragma once

#include "media/MediaFrameWrapper.h"

#include <QMatrix4x4>
#include <QMutex>
#include <QRectF>
#include <QSGRenderNode>
#include <functional>
#include <memory>

class QOpenGLShaderProgram;
class QOpenGLBuffer;
class QOpenGLVertexArrayObject;
class QOpenGLExtraFunctions;

class OpenGLRenderNode : public QSGRenderNode
{
public:
    // Largest texture the node allocates for the black rectangle (texels per side): the
    // rectangle does not sample it, and an absurd item size must not allocate gigabytes.
    static constexpr int kMaxBlankTextureSize = 2048;

    // Called on the render thread each time a node draws a frame it has not drawn before,
    // with the node and the frame's timestamp (100 ns units, as sent). For measurements;
    // set it before any node renders.
    using DrawObserver = std::function<void(const OpenGLRenderNode *node, int64_t timestamp)>;
    static void setDrawObserver(DrawObserver observer);

    OpenGLRenderNode();
    ~OpenGLRenderNode() override;

    // Item position in its parent and size, item units; recomputes the fit.
    void setGeometry(double x, double y, double width, double height);
    // Replaces the frame drawn from the next render on; an empty reference clears it.
    void setFrame(VideoFramePtr frame);
    VideoFramePtr frame();

    // Fitted picture inside the item: offsets from the item's origin and size.
    QRectF pictureRect() const { return {m_xOffset, m_yOffset, m_drawWidth, m_drawHeight}; }
    double aspect() const { return m_aspect; }

    // Fit of a picture of aspect `aspect` (xres / yres) into an item of width x height:
    // draw size and offsets. With aspect <= 0 the picture fills the item at (0, 0).
    static QRectF fit(double aspect, double width, double height);

    StateFlags changedStates() const override;
    void prepare() override;
    void render(const RenderState *state) override;
    void releaseResources() override;
    RenderingFlags flags() const override;
    QRectF rect() const override;

private:
    void createProgram();
    bool setUpPicture(QOpenGLExtraFunctions *gl, const QMatrix4x4 &mvp);
    void setUpBlank(QOpenGLExtraFunctions *gl, const QMatrix4x4 &mvp);
    void setAttributes(QOpenGLExtraFunctions *gl, const QMatrix4x4 &mvp, const float positions[8],
                       bool videoValid);
    void refit();
    void deleteGlObjects(bool withTexture);

    double m_xOffset = 0;
    double m_yOffset = 0;
    double m_drawWidth = 0;
    double m_drawHeight = 0;
    double m_itemX = 0;
    double m_itemY = 0;
    double m_itemWidth = 0;
    double m_itemHeight = 0;
    std::unique_ptr<QOpenGLShaderProgram> m_program;
    std::unique_ptr<QOpenGLBuffer> m_vertexBuffer; // 8 position floats, then 8 texcoord floats
    std::unique_ptr<QOpenGLVertexArrayObject> m_vao;
    unsigned int m_texture = 0;
    int m_matrixLocation = -1;
    int m_textureLocation = -1;
    int m_validLocation = -1;
    bool m_glInitialised = false;
    double m_aspect = 0;
    QMatrix4x4 m_nodeMatrix;           // copied in prepare(): matrix() is only valid there
    const void *m_lastDrawn = nullptr; // frame wrapper drawn last (identity only)
    int64_t m_lastDrawnTimestamp = 0;

    QMutex m_frameLock;
    VideoFramePtr m_frame; // guarded by m_frameLock
};
