#include "render/OpenGLRenderNode.h"

#include <QOpenGLBuffer>
#include <QOpenGLContext>
#include <QOpenGLExtraFunctions>
#include <QOpenGLShaderProgram>
#include <QOpenGLVertexArrayObject>
#include <QtGlobal>
#include <cmath>

namespace {

constexpr uint32_t kFourCcUyvy = 0x59565955; // 'UYVY'
constexpr uint32_t kFourCcUyva = 0x41565955; // 'UYVA': UYVY followed by an alpha plane
constexpr int kTexCoordOffsetBytes = 32;
constexpr int kVertexBufferBytes = 64;
constexpr int kInitialTextureSize = 500;

// Texture coordinates of the four strip corners: bottom-left, bottom-right, top-left,
// top-right. The frame's first line (t = 0) lands at the top of the picture.
constexpr float kTexCoords[8] = {0.f, 1.f, 1.f, 1.f, 0.f, 0.f, 1.f, 0.f};

const char *const kVertexShader = R"(#version 330
in vec4 vertex;
in vec2 texCoord;
out vec2 texc;
uniform mat4 matrix;
void main()
{
    gl_Position = matrix * vertex;
    texc = texCoord;
}
)";

// BT.709 limited-range Y'CbCr to R'G'B'. The texture holds the UYVY bytes as they came:
// green = luma of each pixel; red = U at even pixels, V at odd ones. Luma is sampled with
// filtering, chroma fetched from the pixel pair without it.
const char *const kFragmentShader = R"(#version 330
in vec2 texc;
out vec4 fragColor;
uniform vec2 iResolution;
uniform sampler2D texUYVY;
uniform vec2 safe_area;
uniform vec2 safeline_thick;
uniform float safe_alpha;
uniform bool video_valid;
const mat3 ycbcr_to_rgb_mat = mat3(1.164, 0.0, 1.793,
                                   1.164, -0.213, -0.533,
                                   1.164, 2.112, 0.0);
const vec3 ycbcr_to_rgb_vec = vec3(-0.9731, 0.3014, -1.1331);
void main()
{
    vec4 color = vec4(0.0, 0.0, 0.0, 1.0);
    if (video_valid) {
        ivec2 dim = textureSize(texUYVY, 0);
        ivec2 pos = ivec2(int(texc.x * float(dim.x)), int(texc.y * float(dim.y)));
        float y = texture(texUYVY, texc).g;
        float u;
        float v;
        if ((pos.x & 1) == 0) {
            u = texelFetch(texUYVY, pos, 0).r;
            v = texelFetch(texUYVY, ivec2(pos.x + 1, pos.y), 0).r;
        } else {
            u = texelFetch(texUYVY, ivec2(pos.x - 1, pos.y), 0).r;
            v = texelFetch(texUYVY, pos, 0).r;
        }
        vec3 c = vec3(y, u, v);
        color = vec4(c * ycbcr_to_rgb_mat + ycbcr_to_rgb_vec, 1.0);
        if (texc.x < safe_area.x || texc.x > 1.0 - safe_area.x + safeline_thick.x ||
            texc.y < safe_area.y || texc.y > 1.0 - safe_area.y + safeline_thick.y) {
            color = vec4(color.rgb * safe_alpha, 1.0);
        }
    }
    fragColor = vec4(color.rgb, 1.0);
}
)";

bool drawableFrame(const Media_video_frame_t &f, int maxTextureSize)
{
    return f.p_data && (f.FourCC == kFourCcUyvy || f.FourCC == kFourCcUyva) && f.xres > 0 &&
           f.yres > 0 && f.xres <= maxTextureSize && f.yres <= maxTextureSize &&
           (f.line_stride_in_bytes == 0 ||
            (f.line_stride_in_bytes >= 2 * f.xres && f.line_stride_in_bytes % 2 == 0));
}

OpenGLRenderNode::DrawObserver &drawObserver()
{
    static OpenGLRenderNode::DrawObserver observer;
    return observer;
}

} // namespace

void OpenGLRenderNode::setDrawObserver(DrawObserver observer)
{
    drawObserver() = std::move(observer);
}

OpenGLRenderNode::OpenGLRenderNode() = default;

OpenGLRenderNode::~OpenGLRenderNode()
{
    deleteGlObjects(true);
    QMutexLocker lock(&m_frameLock);
    m_frame.reset();
}

QRectF OpenGLRenderNode::fit(double aspect, double width, double height)
{
    if (!(aspect > 0))
        return {0, 0, width, height};
    double drawWidth;
    double drawHeight;
    // Compared in single precision so an exact fit does not flip on rounding.
    if (static_cast<float>(height) > static_cast<float>(width / aspect)) {
        drawWidth = width;
        drawHeight = width / aspect;
    } else {
        drawWidth = height * aspect;
        drawHeight = height;
    }
    return {(width - drawWidth) / 2, (height - drawHeight) / 2, drawWidth, drawHeight};
}

void OpenGLRenderNode::refit()
{
    const QRectF r = fit(m_aspect, m_itemWidth, m_itemHeight);
    m_drawWidth = r.width();
    m_drawHeight = r.height();
    if (m_aspect > 0) {
        m_xOffset = r.x();
        m_yOffset = r.y();
    }
}

void OpenGLRenderNode::setGeometry(double x, double y, double width, double height)
{
    // A size that is not a finite number draws nothing rather than garbage.
    const auto finite = [](double v) { return std::isfinite(v) ? v : 0.0; };
    x = finite(x);
    y = finite(y);
    width = finite(width);
    height = finite(height);
    m_itemX = x;
    m_itemY = y;
    m_itemWidth = width;
    m_itemHeight = height;
    m_drawWidth = width;
    m_drawHeight = height;
    refit();
}

void OpenGLRenderNode::setFrame(VideoFramePtr frame)
{
    VideoFramePtr previous;
    {
        QMutexLocker lock(&m_frameLock);
        previous = std::move(m_frame);
        m_frame = std::move(frame);
    }
    // `previous` is released here, outside the lock.
}

VideoFramePtr OpenGLRenderNode::frame()
{
    QMutexLocker lock(&m_frameLock);
    return m_frame;
}

QSGRenderNode::StateFlags OpenGLRenderNode::changedStates() const
{
    return BlendState | ScissorState | StencilState;
}

QSGRenderNode::RenderingFlags OpenGLRenderNode::flags() const
{
    // Only bounded-rect: with depth-aware or opaque rendering the video would cover QML
    // items stacked above it (measured with Qt 6.4's batch renderer).
    return BoundedRectRendering;
}

QRectF OpenGLRenderNode::rect() const
{
    return QRectF(0, 0, static_cast<int>(m_itemWidth), static_cast<int>(m_itemHeight));
}

void OpenGLRenderNode::prepare()
{
    if (const QMatrix4x4 *m = matrix())
        m_nodeMatrix = *m;
}

void OpenGLRenderNode::releaseResources()
{
    // The texture is kept; program and buffers come back at the next render.
    deleteGlObjects(false);
}

void OpenGLRenderNode::deleteGlObjects(bool withTexture)
{
    QOpenGLContext *context = QOpenGLContext::currentContext();
    if (!context) {
        // No context to delete in: the objects died with their context. Drop the wrappers
        // without touching GL.
        if (m_vertexBuffer)
            (void)m_vertexBuffer.release();
        if (m_vao)
            (void)m_vao.release();
        m_program.reset();
        if (withTexture)
            m_texture = 0;
        return;
    }
    m_vertexBuffer.reset();
    m_vao.reset();
    m_program.reset();
    if (withTexture && m_texture) {
        context->extraFunctions()->glDeleteTextures(1, &m_texture);
        m_texture = 0;
        m_glInitialised = false;
    }
}

void OpenGLRenderNode::createProgram()
{
    m_program = std::make_unique<QOpenGLShaderProgram>();
    if (!m_program->addShaderFromSourceCode(QOpenGLShader::Vertex, kVertexShader) ||
        !m_program->addShaderFromSourceCode(QOpenGLShader::Fragment, kFragmentShader))
        qWarning().noquote() << "video node: shader compilation failed:" << m_program->log();
    m_program->bindAttributeLocation("vertex", 0);
    m_program->bindAttributeLocation("texCoord", 1);
    if (!m_program->link())
        qWarning().noquote() << "video node: shader link failed:" << m_program->log();
    m_textureLocation = m_program->uniformLocation("texUYVY");
    m_matrixLocation = m_program->uniformLocation("matrix");
    m_validLocation = m_program->uniformLocation("video_valid");

    m_vertexBuffer = std::make_unique<QOpenGLBuffer>(QOpenGLBuffer::VertexBuffer);
    m_vertexBuffer->create();
    m_vertexBuffer->bind();
    m_vertexBuffer->allocate(kVertexBufferBytes);
    m_vertexBuffer->write(kTexCoordOffsetBytes, kTexCoords, sizeof(kTexCoords));
    m_vertexBuffer->release();

    m_vao = std::make_unique<QOpenGLVertexArrayObject>();
    m_vao->create();
}

void OpenGLRenderNode::render(const RenderState *state)
{
    QOpenGLContext *context = QOpenGLContext::currentContext();
    if (!context)
        return;
    QOpenGLExtraFunctions *gl = context->extraFunctions();
    if (!m_program)
        createProgram();
    if (!m_glInitialised) {
        gl->initializeOpenGLFunctions();
        gl->glGenTextures(1, &m_texture);
        gl->glBindTexture(GL_TEXTURE_2D, m_texture);
        gl->glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
        gl->glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
        gl->glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
        gl->glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
        gl->glTexImage2D(GL_TEXTURE_2D, 0, GL_RG8, kInitialTextureSize, kInitialTextureSize, 0,
                         GL_RG, GL_UNSIGNED_BYTE, nullptr);
        m_glInitialised = true;
    }
    if (!(m_itemWidth > 0) || !(m_itemHeight > 0))
        return;

    // Only the states declared in changedStates() are touched; scissor and stencil come
    // from the render state, not from glGet.
    gl->glColorMask(true, true, true, true);
    gl->glDepthMask(false);
    gl->glDisable(GL_DEPTH_TEST);
    gl->glDisable(GL_BLEND);
    if (state->scissorEnabled()) {
        const QRect s = state->scissorRect();
        gl->glEnable(GL_SCISSOR_TEST);
        gl->glScissor(s.x(), s.y(), s.width(), s.height());
    } else {
        gl->glDisable(GL_SCISSOR_TEST);
    }
    if (state->stencilEnabled()) {
        gl->glEnable(GL_STENCIL_TEST);
        gl->glStencilFunc(GL_EQUAL, state->stencilValue(), 0xff);
        gl->glStencilOp(GL_KEEP, GL_KEEP, GL_KEEP);
    } else {
        gl->glDisable(GL_STENCIL_TEST);
    }

    GLint previousVao = 0;
    gl->glGetIntegerv(GL_VERTEX_ARRAY_BINDING, &previousVao);
    m_vao->bind();

    const QMatrix4x4 mvp = *state->projectionMatrix() * m_nodeMatrix;
    if (!setUpPicture(gl, mvp))
        setUpBlank(gl, mvp);
    gl->glDrawArrays(GL_TRIANGLE_STRIP, 0, 4);
    gl->glDisableVertexAttribArray(0);
    gl->glDisableVertexAttribArray(1);
    m_vertexBuffer->release();
    m_program->release();
    gl->glBindVertexArray(static_cast<GLuint>(previousVao));
}

void OpenGLRenderNode::setAttributes(QOpenGLExtraFunctions *gl, const QMatrix4x4 &mvp,
                                     const float positions[8], bool videoValid)
{
    m_program->bind();
    m_vertexBuffer->bind();
    m_vertexBuffer->write(0, positions, 8 * sizeof(float));
    m_program->setUniformValue(m_validLocation, videoValid);
    m_program->setUniformValue(m_matrixLocation, mvp);
    gl->glVertexAttribPointer(0, 2, GL_FLOAT, GL_FALSE, 0, nullptr);
    gl->glVertexAttribPointer(1, 2, GL_FLOAT, GL_FALSE, 0,
                              reinterpret_cast<const void *>(kTexCoordOffsetBytes));
    gl->glEnableVertexAttribArray(0);
    gl->glEnableVertexAttribArray(1);
    gl->glActiveTexture(GL_TEXTURE0);
    gl->glBindTexture(GL_TEXTURE_2D, m_texture);
}

bool OpenGLRenderNode::setUpPicture(QOpenGLExtraFunctions *gl, const QMatrix4x4 &mvp)
{
    VideoFramePtr held;
    {
        QMutexLocker lock(&m_frameLock);
        held = m_frame;
    }
    GLint maxTextureSize = 0;
    gl->glGetIntegerv(GL_MAX_TEXTURE_SIZE, &maxTextureSize);
    if (!held || !drawableFrame(held->frame, maxTextureSize))
        return false;
    const Media_video_frame_t &f = held->frame;
    const double a = static_cast<double>(f.xres) / static_cast<double>(f.yres);
    if (std::abs(a - m_aspect) > 0.001) {
        m_aspect = a;
        refit();
    }
    if (!(m_drawWidth > 0) || !(m_drawHeight > 0))
        return false;

    const float left = static_cast<float>(m_xOffset);
    const float top = static_cast<float>(m_yOffset);
    const float right = static_cast<float>(m_xOffset + m_drawWidth);
    const float bottom = static_cast<float>(m_yOffset + m_drawHeight);
    const float positions[8] = {left, bottom, right, bottom, left, top, right, top};
    setAttributes(gl, mvp, positions, true);

    // Unchanged bytes: one texel per pixel, U/V in red, Y in green.
    const int rowTexels = f.line_stride_in_bytes > 0 ? f.line_stride_in_bytes / 2 : f.xres;
    gl->glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    if (rowTexels != f.xres)
        gl->glPixelStorei(GL_UNPACK_ROW_LENGTH, rowTexels);
    gl->glTexImage2D(GL_TEXTURE_2D, 0, GL_RG8, f.xres, f.yres, 0, GL_RG, GL_UNSIGNED_BYTE,
                     f.p_data);
    if (rowTexels != f.xres)
        gl->glPixelStorei(GL_UNPACK_ROW_LENGTH, 0);
    gl->glPixelStorei(GL_UNPACK_ALIGNMENT, 4);
    m_program->setUniformValue(m_textureLocation, 0);
    // A frame repeated by the receiver carries the timestamp of its first delivery.
    const bool fresh =
        f.timestamp != 0 ? f.timestamp != m_lastDrawnTimestamp : held.get() != m_lastDrawn;
    m_lastDrawn = held.get();
    m_lastDrawnTimestamp = f.timestamp;
    if (fresh) {
        if (const DrawObserver &observer = drawObserver())
            observer(this, f.timestamp);
    }
    return true;
}

void OpenGLRenderNode::setUpBlank(QOpenGLExtraFunctions *gl, const QMatrix4x4 &mvp)
{
    // The black rectangle covers the item from its own origin, like the picture does: both go
    // through the node matrix, which already carries the item's position.
    const float w = static_cast<float>(m_itemWidth);
    const float h = static_cast<float>(m_itemHeight);
    const float positions[8] = {0.f, h, w, h, 0.f, 0.f, w, 0.f};
    setAttributes(gl, mvp, positions, false);
    const int side = qBound(1, static_cast<int>(m_itemWidth), kMaxBlankTextureSize);
    gl->glTexImage2D(GL_TEXTURE_2D, 0, GL_RG8, side, side, 0, GL_RG, GL_UNSIGNED_BYTE, nullptr);
    m_program->setUniformValue(m_textureLocation, 0);
}
