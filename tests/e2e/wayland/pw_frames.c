/* Receives frames of one PipeWire video node through a portal's remote and
 * reports, one "key=value ..." line each, what was negotiated and what every
 * frame carried: buffer type, crop and damage metadata, the centre pixel.
 *
 * usage: pw_frames FD NODE FRAMES SECONDS
 * Exits 0 once FRAMES frames have come, 1 when SECONDS pass first. */
#include <pipewire/pipewire.h>
#include <spa/debug/types.h>
#include <spa/param/video/format-utils.h>
#include <spa/param/video/type-info.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

struct probe {
	struct pw_main_loop *loop;
	struct pw_stream *stream;
	struct spa_video_info_raw info;
	int frames, want, status;
};

static double now_ms(void)
{
	struct timespec ts;
	clock_gettime(CLOCK_MONOTONIC, &ts);
	return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

static void on_param_changed(void *data, uint32_t id, const struct spa_pod *param)
{
	struct probe *p = data;
	if (param == NULL || id != SPA_PARAM_Format)
		return;
	if (spa_format_video_raw_parse(param, &p->info) < 0)
		return;
	printf("format=%s width=%u height=%u modifier=0x%llx framerate=%u/%u max_framerate=%u/%u\n",
	       spa_debug_type_find_short_name(spa_type_video_format, p->info.format),
	       p->info.size.width, p->info.size.height, (unsigned long long)p->info.modifier,
	       p->info.framerate.num, p->info.framerate.denom, p->info.max_framerate.num,
	       p->info.max_framerate.denom);

	uint8_t buf[1024];
	struct spa_pod_builder b = SPA_POD_BUILDER_INIT(buf, sizeof(buf));
	const struct spa_pod *params[4];
	params[0] = spa_pod_builder_add_object(&b, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers,
		SPA_PARAM_BUFFERS_buffers, SPA_POD_CHOICE_RANGE_Int(4, 2, 16),
		SPA_PARAM_BUFFERS_dataType,
		SPA_POD_CHOICE_FLAGS_Int((1 << SPA_DATA_MemFd) | (1 << SPA_DATA_MemPtr)));
	params[1] = spa_pod_builder_add_object(&b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta,
		SPA_PARAM_META_type, SPA_POD_Id(SPA_META_Header),
		SPA_PARAM_META_size, SPA_POD_Int(sizeof(struct spa_meta_header)));
	params[2] = spa_pod_builder_add_object(&b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta,
		SPA_PARAM_META_type, SPA_POD_Id(SPA_META_VideoCrop),
		SPA_PARAM_META_size, SPA_POD_Int(sizeof(struct spa_meta_region)));
	params[3] = spa_pod_builder_add_object(&b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta,
		SPA_PARAM_META_type, SPA_POD_Id(SPA_META_VideoDamage),
		SPA_PARAM_META_size, SPA_POD_CHOICE_RANGE_Int(sizeof(struct spa_meta_region) * 16,
			sizeof(struct spa_meta_region), sizeof(struct spa_meta_region) * 16));
	pw_stream_update_params(p->stream, params, 4);
}

static void on_process(void *data)
{
	struct probe *p = data;
	struct pw_buffer *b = pw_stream_dequeue_buffer(p->stream);
	if (b == NULL)
		return;
	struct spa_buffer *buf = b->buffer;
	struct spa_data *d = &buf->datas[0];
	if (d->chunk->size == 0) { /* no new content in this buffer */
		printf("empty t_ms=%.1f flags=0x%x\n", now_ms(), d->chunk->flags);
		pw_stream_queue_buffer(p->stream, b);
		return;
	}
	printf("frame=%d t_ms=%.1f type=%s size=%u stride=%d", p->frames, now_ms(),
	       spa_debug_type_find_short_name(spa_type_data_type, d->type), d->chunk->size,
	       d->chunk->stride);
	struct spa_meta_header *h = spa_buffer_find_meta_data(buf, SPA_META_Header, sizeof(*h));
	if (h)
		printf(" pts=%lld seq=%llu", (long long)h->pts, (unsigned long long)h->seq);
	struct spa_meta_region *crop = spa_buffer_find_meta_data(buf, SPA_META_VideoCrop, sizeof(*crop));
	if (crop && spa_meta_region_is_valid(crop))
		printf(" crop=%d,%d,%ux%u", crop->region.position.x, crop->region.position.y,
		       crop->region.size.width, crop->region.size.height);
	struct spa_meta *damage = spa_buffer_find_meta(buf, SPA_META_VideoDamage);
	if (damage) {
		struct spa_meta_region *r;
		printf(" damage=");
		spa_meta_for_each(r, damage) {
			if (!spa_meta_region_is_valid(r))
				break;
			printf("%d,%d,%ux%u;", r->region.position.x, r->region.position.y,
			       r->region.size.width, r->region.size.height);
		}
	}
	if (d->data && d->chunk->stride > 0) {
		const uint8_t *px = (const uint8_t *)d->data + d->chunk->offset +
			(p->info.size.height / 2) * d->chunk->stride + (p->info.size.width / 2) * 4;
		printf(" centre=%02x%02x%02x%02x", px[0], px[1], px[2], px[3]);
	}
	printf("\n");
	fflush(stdout);
	pw_stream_queue_buffer(p->stream, b);
	if (++p->frames >= p->want) {
		p->status = 0;
		pw_main_loop_quit(p->loop);
	}
}

static void on_state_changed(void *data, enum pw_stream_state old, enum pw_stream_state state,
			     const char *error)
{
	struct probe *p = data;
	(void)old;
	printf("state=%s%s%s\n", pw_stream_state_as_string(state), error ? " error=" : "",
	       error ? error : "");
	fflush(stdout);
	if (state == PW_STREAM_STATE_ERROR || state == PW_STREAM_STATE_UNCONNECTED)
		pw_main_loop_quit(p->loop);
}

static const struct pw_stream_events stream_events = {
	PW_VERSION_STREAM_EVENTS,
	.state_changed = on_state_changed,
	.param_changed = on_param_changed,
	.process = on_process,
};

static void on_timeout(void *data, uint64_t expirations)
{
	struct probe *p = data;
	(void)expirations;
	printf("timeout frames=%d\n", p->frames);
	pw_main_loop_quit(p->loop);
}

int main(int argc, char *argv[])
{
	if (argc != 5) {
		fprintf(stderr, "usage: %s FD NODE FRAMES SECONDS\n", argv[0]);
		return 2;
	}
	struct probe p = {.want = atoi(argv[3]), .status = 1};
	pw_init(&argc, &argv);
	p.loop = pw_main_loop_new(NULL);
	struct pw_loop *loop = pw_main_loop_get_loop(p.loop);
	struct spa_source *timer = pw_loop_add_timer(loop, on_timeout, &p);
	struct timespec timeout = {.tv_sec = atoi(argv[4])};
	pw_loop_update_timer(loop, timer, &timeout, NULL, false);

	struct pw_context *context = pw_context_new(loop, NULL, 0);
	struct pw_core *core = pw_context_connect_fd(context, atoi(argv[1]), NULL, 0);
	if (core == NULL) {
		fprintf(stderr, "pw_frames: cannot connect to the remote\n");
		return 1;
	}
	p.stream = pw_stream_new(core, "orvik-probe",
		pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY, "Capture",
				  PW_KEY_MEDIA_ROLE, "Screen", NULL));
	struct spa_hook listener;
	pw_stream_add_listener(p.stream, &listener, &stream_events, &p);

	uint8_t buf[1024];
	struct spa_pod_builder b = SPA_POD_BUILDER_INIT(buf, sizeof(buf));
	const struct spa_pod *params[1];
	params[0] = spa_pod_builder_add_object(&b, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat,
		SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_video),
		SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw),
		SPA_FORMAT_VIDEO_format, SPA_POD_CHOICE_ENUM_Id(5, SPA_VIDEO_FORMAT_BGRx,
			SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRA, SPA_VIDEO_FORMAT_RGBx,
			SPA_VIDEO_FORMAT_RGBA),
		SPA_FORMAT_VIDEO_size, SPA_POD_CHOICE_RANGE_Rectangle(&SPA_RECTANGLE(1280, 720),
			&SPA_RECTANGLE(1, 1), &SPA_RECTANGLE(8192, 8192)),
		SPA_FORMAT_VIDEO_framerate, SPA_POD_CHOICE_RANGE_Fraction(&SPA_FRACTION(30, 1),
			&SPA_FRACTION(0, 1), &SPA_FRACTION(240, 1)));
	pw_stream_connect(p.stream, PW_DIRECTION_INPUT, (uint32_t)atoi(argv[2]),
			  PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS, params, 1);
	pw_main_loop_run(p.loop);

	pw_stream_destroy(p.stream);
	pw_core_disconnect(core);
	pw_context_destroy(context);
	pw_main_loop_destroy(p.loop);
	pw_deinit();
	return p.status;
}
