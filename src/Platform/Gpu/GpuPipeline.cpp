#include "Platform/Gpu/GpuPipeline.h"

#include "Platform/Gpu/GpuDevice.h"

namespace veltrane {

namespace {

VkFormat vkFormat(GpuFormat format)
{
    return format == GpuFormat::rgba16Float ? VK_FORMAT_R16G16B16A16_SFLOAT : VK_FORMAT_B8G8R8A8_UNORM;
}

VkDescriptorType descriptorType(GpuBinding binding)
{
    switch (binding) {
    case GpuBinding::storageImage: return VK_DESCRIPTOR_TYPE_STORAGE_IMAGE;
    case GpuBinding::sampledImage: return VK_DESCRIPTOR_TYPE_COMBINED_IMAGE_SAMPLER;
    case GpuBinding::storageBuffer: return VK_DESCRIPTOR_TYPE_STORAGE_BUFFER;
    case GpuBinding::texelBuffer:
    case GpuBinding::wideTexelBuffer: return VK_DESCRIPTOR_TYPE_STORAGE_TEXEL_BUFFER;
    }
    return VK_DESCRIPTOR_TYPE_STORAGE_BUFFER;
}

VulkanHandle<VkShaderModule> makeModule(VkDevice device, const GpuShaderFunction& function)
{
    VkShaderModuleCreateInfo info{VK_STRUCTURE_TYPE_SHADER_MODULE_CREATE_INFO};
    info.codeSize = function.spirv.size() * sizeof(uint32_t);
    info.pCode = function.spirv.data();
    VkShaderModule module;
    checkVk(vkCreateShaderModule(device, &info, nullptr, &module), "vkCreateShaderModule");
    return VulkanHandle<VkShaderModule>(device, module, vkDestroyShaderModule);
}

} // namespace

void GpuPipeline::makeLayout(const std::string& label)
{
    VkDevice vk = device_->vk();
    std::vector<VkDescriptorSetLayoutBinding> bindings;
    for (uint32_t i = 0; i < bindings_.size(); ++i) {
        VkDescriptorSetLayoutBinding b{};
        b.binding = i;
        b.descriptorType = descriptorType(bindings_[i]);
        b.descriptorCount = 1;
        b.stageFlags = compute_ ? VK_SHADER_STAGE_COMPUTE_BIT : VK_SHADER_STAGE_FRAGMENT_BIT;
        bindings.push_back(b);
    }
    VkDescriptorSetLayoutCreateInfo setInfo{VK_STRUCTURE_TYPE_DESCRIPTOR_SET_LAYOUT_CREATE_INFO};
    setInfo.flags = VK_DESCRIPTOR_SET_LAYOUT_CREATE_PUSH_DESCRIPTOR_BIT_KHR;
    setInfo.bindingCount = uint32_t(bindings.size());
    setInfo.pBindings = bindings.data();
    VkDescriptorSetLayout setLayout;
    checkVk(vkCreateDescriptorSetLayout(vk, &setInfo, nullptr, &setLayout), "vkCreateDescriptorSetLayout");
    setLayout_ = VulkanHandle<VkDescriptorSetLayout>(vk, setLayout, vkDestroyDescriptorSetLayout);

    VkPushConstantRange range{};
    range.stageFlags =
        compute_ ? VK_SHADER_STAGE_COMPUTE_BIT : VK_SHADER_STAGE_VERTEX_BIT | VK_SHADER_STAGE_FRAGMENT_BIT;
    range.size = pushBytes_;
    VkPipelineLayoutCreateInfo layoutInfo{VK_STRUCTURE_TYPE_PIPELINE_LAYOUT_CREATE_INFO};
    layoutInfo.setLayoutCount = 1;
    layoutInfo.pSetLayouts = &setLayout;
    layoutInfo.pushConstantRangeCount = pushBytes_ > 0 ? 1 : 0;
    layoutInfo.pPushConstantRanges = &range;
    VkPipelineLayout layout;
    checkVk(vkCreatePipelineLayout(vk, &layoutInfo, nullptr, &layout), "vkCreatePipelineLayout");
    layout_ = VulkanHandle<VkPipelineLayout>(vk, layout, vkDestroyPipelineLayout);
    device_->setName(VK_OBJECT_TYPE_PIPELINE_LAYOUT, uint64_t(layout), label);
}

GpuPipeline::GpuPipeline(std::shared_ptr<GpuDevice> device, const GpuComputePipelineDesc& desc)
    : device_(std::move(device)), compute_(true), bindings_(desc.bindings), pushBytes_(desc.pushConstantBytes)
{
    if (!desc.function || desc.function->stage != GpuShaderStage::compute)
        throw GpuError("compute pipeline without a compute function: " + desc.label);
    makeLayout(desc.label);
    VkDevice vk = device_->vk();
    auto module = makeModule(vk, *desc.function);
    VkSpecializationMapEntry entry{0, 0, sizeof(int32_t)};
    int32_t constant = desc.constant0.value_or(0);
    VkSpecializationInfo specialization{1, &entry, sizeof(int32_t), &constant};
    VkComputePipelineCreateInfo info{VK_STRUCTURE_TYPE_COMPUTE_PIPELINE_CREATE_INFO};
    info.stage = {VK_STRUCTURE_TYPE_PIPELINE_SHADER_STAGE_CREATE_INFO};
    info.stage.stage = VK_SHADER_STAGE_COMPUTE_BIT;
    info.stage.module = module.get();
    info.stage.pName = "main";
    info.stage.pSpecializationInfo = desc.constant0 ? &specialization : nullptr;
    info.layout = layout_.get();
    VkPipelineCreationFeedback feedback{};
    VkPipelineCreationFeedbackCreateInfo feedbackInfo{VK_STRUCTURE_TYPE_PIPELINE_CREATION_FEEDBACK_CREATE_INFO};
    feedbackInfo.pPipelineCreationFeedback = &feedback;
    info.pNext = &feedbackInfo;
    VkPipeline pipeline;
    checkVk(vkCreateComputePipelines(vk, device_->pipelineCache(), 1, &info, nullptr, &pipeline),
            "vkCreateComputePipelines");
    device_->notePipelineCreated(feedback);
    pipeline_ = VulkanHandle<VkPipeline>(vk, pipeline, vkDestroyPipeline);
    device_->setName(VK_OBJECT_TYPE_PIPELINE, uint64_t(pipeline), desc.label);
}

GpuPipeline::GpuPipeline(std::shared_ptr<GpuDevice> device, const GpuRenderPipelineDesc& desc)
    : device_(std::move(device)), compute_(false), bindings_(desc.bindings), pushBytes_(desc.pushConstantBytes),
      colourFormat_(desc.colourFormat)
{
    if (!desc.vertex || !desc.fragment) throw GpuError("render pipeline without its functions: " + desc.label);
    makeLayout(desc.label);
    VkDevice vk = device_->vk();
    auto vertexModule = makeModule(vk, *desc.vertex);
    auto fragmentModule = makeModule(vk, *desc.fragment);
    VkPipelineShaderStageCreateInfo stages[2] = {{VK_STRUCTURE_TYPE_PIPELINE_SHADER_STAGE_CREATE_INFO},
                                                 {VK_STRUCTURE_TYPE_PIPELINE_SHADER_STAGE_CREATE_INFO}};
    stages[0].stage = VK_SHADER_STAGE_VERTEX_BIT;
    stages[0].module = vertexModule.get();
    stages[0].pName = "main";
    stages[1].stage = VK_SHADER_STAGE_FRAGMENT_BIT;
    stages[1].module = fragmentModule.get();
    stages[1].pName = "main";
    VkPipelineVertexInputStateCreateInfo vertexInput{VK_STRUCTURE_TYPE_PIPELINE_VERTEX_INPUT_STATE_CREATE_INFO};
    VkPipelineInputAssemblyStateCreateInfo assembly{VK_STRUCTURE_TYPE_PIPELINE_INPUT_ASSEMBLY_STATE_CREATE_INFO};
    assembly.topology = VK_PRIMITIVE_TOPOLOGY_TRIANGLE_LIST;
    VkPipelineViewportStateCreateInfo viewport{VK_STRUCTURE_TYPE_PIPELINE_VIEWPORT_STATE_CREATE_INFO};
    viewport.viewportCount = 1;
    viewport.scissorCount = 1;
    VkPipelineRasterizationStateCreateInfo raster{VK_STRUCTURE_TYPE_PIPELINE_RASTERIZATION_STATE_CREATE_INFO};
    raster.polygonMode = VK_POLYGON_MODE_FILL;
    raster.cullMode = VK_CULL_MODE_NONE;
    raster.lineWidth = 1.0f;
    VkPipelineMultisampleStateCreateInfo multisample{VK_STRUCTURE_TYPE_PIPELINE_MULTISAMPLE_STATE_CREATE_INFO};
    multisample.rasterizationSamples = VK_SAMPLE_COUNT_1_BIT;
    VkPipelineColorBlendAttachmentState attachment{};
    attachment.colorWriteMask =
        VK_COLOR_COMPONENT_R_BIT | VK_COLOR_COMPONENT_G_BIT | VK_COLOR_COMPONENT_B_BIT | VK_COLOR_COMPONENT_A_BIT;
    VkPipelineColorBlendStateCreateInfo blend{VK_STRUCTURE_TYPE_PIPELINE_COLOR_BLEND_STATE_CREATE_INFO};
    blend.attachmentCount = 1;
    blend.pAttachments = &attachment;
    VkDynamicState dynamics[] = {VK_DYNAMIC_STATE_VIEWPORT, VK_DYNAMIC_STATE_SCISSOR};
    VkPipelineDynamicStateCreateInfo dynamic{VK_STRUCTURE_TYPE_PIPELINE_DYNAMIC_STATE_CREATE_INFO};
    dynamic.dynamicStateCount = 2;
    dynamic.pDynamicStates = dynamics;
    VkFormat format = vkFormat(desc.colourFormat);
    VkPipelineCreationFeedback feedback{};
    VkPipelineCreationFeedbackCreateInfo feedbackInfo{VK_STRUCTURE_TYPE_PIPELINE_CREATION_FEEDBACK_CREATE_INFO};
    feedbackInfo.pPipelineCreationFeedback = &feedback;
    VkPipelineRenderingCreateInfo rendering{VK_STRUCTURE_TYPE_PIPELINE_RENDERING_CREATE_INFO};
    rendering.pNext = &feedbackInfo;
    rendering.colorAttachmentCount = 1;
    rendering.pColorAttachmentFormats = &format;
    VkGraphicsPipelineCreateInfo info{VK_STRUCTURE_TYPE_GRAPHICS_PIPELINE_CREATE_INFO};
    info.pNext = &rendering;
    info.stageCount = 2;
    info.pStages = stages;
    info.pVertexInputState = &vertexInput;
    info.pInputAssemblyState = &assembly;
    info.pViewportState = &viewport;
    info.pRasterizationState = &raster;
    info.pMultisampleState = &multisample;
    info.pColorBlendState = &blend;
    info.pDynamicState = &dynamic;
    info.layout = layout_.get();
    VkPipeline pipeline;
    checkVk(vkCreateGraphicsPipelines(vk, device_->pipelineCache(), 1, &info, nullptr, &pipeline),
            "vkCreateGraphicsPipelines");
    device_->notePipelineCreated(feedback);
    pipeline_ = VulkanHandle<VkPipeline>(vk, pipeline, vkDestroyPipeline);
    device_->setName(VK_OBJECT_TYPE_PIPELINE, uint64_t(pipeline), desc.label);
}

} // namespace veltrane
